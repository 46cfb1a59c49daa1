// Reassembly of requests from the bytes of the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelsim/request_reader.h"

namespace zelsim {
namespace {

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What the reader handed out, as "J:<bytes>" and "F:<bytes>" strings.
std::vector<std::string> Items(RequestReader& reader) {
  std::vector<std::string> out;
  while (auto item = reader.Next())
    out.push_back((item->kind == ReaderItem::Kind::Junk ? "J:" : "F:") + Printable(item->bytes));
  return out;
}

std::string F(const Bytes& b) { return "F:" + Printable(b); }
std::string J(const Bytes& b) { return "J:" + Printable(b); }

const Bytes kRead = ReadRequest(42, 1);
const Bytes kWrite = WriteRequest(7, 100);

struct ReaderCase {
  const char* name;
  Bytes input;
  std::vector<std::string> items;
  std::size_t pending;
};

TEST(Reassembly, HandsOutFramesAndJunk) {
  const std::vector<ReaderCase> cases = {
      {"oneRead", kRead, {F(kRead)}, 0},
      {"backToBack", Cat(kWrite, kRead), {F(kWrite), F(kRead)}, 0},
      {"noiseBefore", Cat(B("AB\r\n"), kRead), {J(B("AB\r\n")), F(kRead)}, 0},
      {"leadWithoutLetter", Cat(B("\x04X"), kRead), {J(B("\x04X")), F(kRead)}, 0},
      {"doubledLead", Cat(B("\x04"), kRead), {J(B("\x04")), F(kRead)}, 0},
      // The rest of a frame was lost: the next lead byte ends it.
      {"cutShort", Cat(B("\x04R!000"), kWrite), {J(B("\x04R!000")), F(kWrite)}, 0},
      {"unfinished", Bytes(kWrite.begin(), kWrite.end() - 1), {}, 18},
      {"noiseAfter", Cat(kRead, B("xyz")), {F(kRead), J(B("xyz"))}, 0},
      {"loneLead", B("\x04"), {}, 1}};
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Whole, and byte by byte: the same items either way.
    RequestReader whole;
    whole.Push(c.input);
    EXPECT_EQ(Items(whole), c.items);
    EXPECT_EQ(whole.pending(), c.pending);

    RequestReader bytewise;
    std::vector<std::string> items;
    for (std::uint8_t b : c.input) {
      bytewise.Push(std::span(&b, 1));
      for (auto& item : Items(bytewise)) items.push_back(item);
    }
    // Junk before a lead byte arrives in pieces when fed byte by byte; join
    // neighbouring junk for the comparison.
    std::vector<std::string> joined;
    for (auto& item : items) {
      if (!joined.empty() && joined.back().starts_with("J:") && item.starts_with("J:"))
        joined.back() += item.substr(2);
      else
        joined.push_back(item);
    }
    EXPECT_EQ(joined, c.items);
    EXPECT_EQ(bytewise.pending(), c.pending);
  }
}

TEST(Reassembly, FrameOfBadContentIsStillAFrame) {
  // The reader only finds frames; judging them is for the decoder.
  Bytes bad = kRead;
  bad[12] = 'Z';
  RequestReader reader;
  reader.Push(bad);
  EXPECT_EQ(Items(reader), std::vector<std::string>{F(bad)});
}

}  // namespace
}  // namespace zelsim
