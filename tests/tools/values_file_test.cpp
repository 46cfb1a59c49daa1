// Numbers as people write them, and the values file.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

TEST_F(ValuesFile, SavesWhatLoadsBackInTheFilesOwnShape) {
  struct Case {
    const char* what;
    const char* before;
    std::vector<std::pair<int, std::uint32_t>> values;  // the table at exit
    const char* after;
  };
  const Case cases[] = {
      {"comments, spacing and each line's way of writing its value stay",
       "# plant A\n42   100   # set point\n\n0x2B 0x00ff\n7\t-1\n9 0XAB\n8 4294967295\n",
       {{42, 250}, {43, 0x1234}, {7, 0xFFFFFFFE}, {9, 0xCD}, {8, 5}},
       "# plant A\n42   250   # set point\n\n0x2B 0x1234\n7\t-2\n9 0XCD\n8 5\n"},
      {"decimals stay decimal, and a value above 2^31 becomes negative where the file wrote "
       "signed values",
       "1 5\n2 -5\n",
       {{1, 0x80000000u}, {2, 0}},
       "1 -2147483648\n2 0\n"},
      {"a variable named twice gets its value on both lines",
       "3 1 # first\n$00003 0x1\n",
       {{3, 9}},
       "3 9 # first\n$00003 0x9\n"},
      {"variables without a line follow, in the form most values use",
       "# hex table\n1 0x00000001\n2 0x00000002\n3 3\n",
       {{1, 1}, {2, 2}, {3, 3}, {99999, 7}, {0, 0x80000000u}},
       "# hex table\n1 0x00000001\n2 0x00000002\n3 3\n0 0x80000000\n99999 0x00000007\n"},
      {"a new file: a heading and decimal values",
       "",
       {{0, 1}, {42, 0x80000000u}, {99999, 7}},
       "# variable value\n0 1\n42 -2147483648\n99999 7\n"},
  };
  for (const auto& c : cases) {
    Write(c.before);
    VariableTable table;
    for (const auto& [number, value] : c.values) table.Set(number, value);
    SaveValues(path_, table);
    std::ifstream in(path_);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, c.after) << c.what;
    VariableTable again;
    LoadValues(path_, again);
    for (const auto& [number, value] : c.values) EXPECT_EQ(again.Get(number), value) << c.what;
  }
}

TEST(ValuesFileMissing, SaysWhichFile) {
  VariableTable table;
  EXPECT_THROW(LoadValues("/nonexistent/values.txt", table), std::runtime_error);
}

}  // namespace
}  // namespace zelsim
