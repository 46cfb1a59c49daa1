// Numbers as people write them, and the values file.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "zelsim/numbers.h"
#include "zelsim/values_file.h"

namespace zelsim {
namespace {

TEST(Numbers, ValuesInDecimalAndHex) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {"0", 0u},
      {"100", 100u},
      {"-1", 0xFFFFFFFFu},
      {"-2147483648", 0x80000000u},
      {"4294967295", 0xFFFFFFFFu},
      {"0x64", 0x64u},
      {"0XdeadBEEF", 0xDEADBEEFu},
      {"0x00000000F", std::nullopt},  // nine digits
      {"4294967296", std::nullopt},
      {"-2147483649", std::nullopt},
      {"0x", std::nullopt},
      {"", std::nullopt},
      {"12a", std::nullopt},
      {" 1", std::nullopt},
      {"+1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseValue(c.text), c.value) << c.text;
}

TEST(Numbers, VariableNumbers) {
  EXPECT_EQ(ParseVariableNumber("42"), 42);
  EXPECT_EQ(ParseVariableNumber("$00042"), 42);
  EXPECT_EQ(ParseVariableNumber("0x2A"), 42);
  EXPECT_EQ(ParseVariableNumber("99999"), 99999);
  EXPECT_EQ(ParseVariableNumber("100000"), std::nullopt);
  EXPECT_EQ(ParseVariableNumber("-1"), std::nullopt);
  EXPECT_EQ(ParseVariableNumber("$"), std::nullopt);
}

class ValuesFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zelsim-values-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::string& text) { std::ofstream(path_) << text; }

  std::string path_;
};

TEST_F(ValuesFile, LoadsNumbersAndValuesInEitherBase) {
  Write("# initial values\n42 100\n\n0x2B 0x10   # hex both\n  7\t-1\n$00099 4294967295\n");
  VariableTable table;
  LoadValues(path_, table);
  EXPECT_EQ(table.Get(42), 100u);
  EXPECT_EQ(table.Get(43), 0x10u);
  EXPECT_EQ(table.Get(7), 0xFFFFFFFFu);
  EXPECT_EQ(table.Get(99), 0xFFFFFFFFu);
  EXPECT_EQ(table.Get(0), 0u);
}

TEST_F(ValuesFile, NamesTheBadLineAndChangesNothing) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"1 1\n2\n", ":2: expected \"number value\""},
      {"1 1\n2 3 4\n", ":2: expected \"number value\""},
      {"100000 1\n", ":1: bad variable number \"100000\""},
      {"1 1\n\n5 0x1FFFFFFFF\n", ":3: bad value \"0x1FFFFFFFF\""},
  };
  for (const auto& c : cases) {
    Write(c.text);
    VariableTable table;
    try {
      LoadValues(path_, table);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path_ + c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(table.Get(1), 0u) << c.text;
  }
}

TEST_F(ValuesFile, SavesWhatLoadsBack) {
  VariableTable table;
  table.Set(0, 1);
  table.Set(42, 0x80000000u);
  table.Set(99999, 7);
  SaveValues(path_, table);
  VariableTable again;
  LoadValues(path_, again);
  for (int v : {0, 1, 42, 41, 99999}) EXPECT_EQ(again.Get(v), table.Get(v)) << v;
  std::ifstream in(path_);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "# variable value\n0 0x00000001\n42 0x80000000\n99999 0x00000007\n");
}

TEST(ValuesFileMissing, SaysWhichFile) {
  VariableTable table;
  EXPECT_THROW(LoadValues("/nonexistent/values.txt", table), std::runtime_error);
}

}  // namespace
}  // namespace zelsim
