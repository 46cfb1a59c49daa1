// The remote computer's answers, and the faults it injects, driven step by
// step without a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "zelsim/engine.h"

namespace zelsim {
namespace {

Exchange Only(const std::vector<Event>& events) {
  EXPECT_EQ(events.size(), 1u);
  return std::get<Exchange>(events.at(0));
}

Bytes Corrupted(Bytes frame) {
  frame[frame.size() - 2] ^= 0x01;  // a checksum digit
  return frame;
}

TEST(Engine, StoresAWriteAndReadsItBack) {
  Engine engine;
  const Exchange w = engine.Handle(WriteRequest(42, 0x64));
  EXPECT_EQ(w.reply, OkReply());
  EXPECT_EQ(w.transmitted(), OkReply());
  EXPECT_EQ(engine.table().Get(42), 0x64u);

  const Exchange r = engine.Handle(ReadRequest(41, 3));
  const std::uint32_t expected[] = {0, 0x64, 0};
  EXPECT_EQ(r.reply, ValueReply(expected));
  EXPECT_EQ(r.transmitted(), r.reply);
  EXPECT_EQ(r.ordinal, 2u);

  // The largest block, the last variable, and a block of none.
  engine.table().Set(99999, 0xFFFFFFFF);
  EXPECT_EQ(engine.Handle(ReadRequest(0, 106)).reply.size(), 852u);
  const std::uint32_t last[] = {0xFFFFFFFF};
  EXPECT_EQ(engine.Handle(ReadRequest(99999, 1)).reply, ValueReply(last));
  EXPECT_EQ(engine.Handle(ReadRequest(7, 0)).reply, ValueReply({}));
}

// A request that fails a check: a write gets ERROR, a read no reply.
TEST(Engine, FailedChecksGetErrorForWritesAndSilenceForReads) {
  const std::vector<std::pair<Bytes, bool>> cases = {{Corrupted(WriteRequest(42, 9)), true},
                                                     {Corrupted(ReadRequest(42, 1)), false},
                                                     {ReadRequest(42, 107), false},
                                                     {ReadRequest(99950, 51), false}};
  for (const auto& [frame, errorReply] : cases) {
    SCOPED_TRACE(Hex(frame));
    Engine engine;
    const Exchange x = engine.Handle(frame);
    EXPECT_FALSE(x.request.ok());
    EXPECT_EQ(x.reply, errorReply ? ErrorReply() : Bytes{});
    EXPECT_EQ(x.transmitted(), x.reply);
    EXPECT_EQ(engine.table().Get(42), 0u);
    EXPECT_EQ(engine.counters().valuesStored, 0u);
  }
}

TEST(Engine, FeedAnswersRequestsThatArriveInPiecesAfterNoise) {
  Engine engine;
  Bytes line = {'~', '~'};
  const Bytes write = WriteRequest(3, 0x1234);
  line.insert(line.end(), write.begin(), write.end());

  const auto first = engine.Feed(std::span(line).first(9));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(std::get<Junk>(first[0]).bytes, (Bytes{'~', '~'}));
  EXPECT_EQ(engine.pending(), 7u);

  const Exchange x = Only(engine.Feed(std::span(line).subspan(9)));
  EXPECT_EQ(x.reply, OkReply());
  EXPECT_EQ(engine.table().Get(3), 0x1234u);
  EXPECT_EQ(engine.counters().junkBytes, 2u);
  EXPECT_EQ(engine.counters().bytesReceived, line.size());
}

// --- faults -------------------------------------------------------------

FaultConfig With(Fault fault, const char* rule) {
  FaultConfig config;
  config[fault] = Trigger::Parse(rule);
  return config;
}

// The value reply's checksum digits agree with its value digits.
bool ValueReplyConsistent(const Bytes& r) {
  const std::size_t n = r.size() - 4;
  const auto digits = ChecksumDigits(Checksum(std::span(r).subspan(1, n)));
  return r[n + 1] == static_cast<std::uint8_t>(digits[0]) &&
         r[n + 2] == static_cast<std::uint8_t>(digits[1]);
}

TEST(Faults, SilentIgnoresTheRequestEntirely) {
  Engine engine(With(Fault::Silent, "req:1"));
  const Exchange x = engine.Handle(WriteRequest(42, 5));
  EXPECT_TRUE(x.reply.empty());
  EXPECT_TRUE(x.line.empty());
  EXPECT_EQ(x.faults, std::vector<Fault>{Fault::Silent});
  EXPECT_EQ(engine.table().Get(42), 0u);
  // The rule names request 1 only.
  EXPECT_EQ(engine.Handle(WriteRequest(42, 5)).reply, OkReply());
}

TEST(Faults, DropLosesTheReplyButTheWriteIsDone) {
  Engine engine(With(Fault::Drop, "always"));
  const Exchange x = engine.Handle(WriteRequest(42, 5));
  EXPECT_EQ(x.reply, OkReply());
  EXPECT_TRUE(x.line.empty());
  EXPECT_EQ(engine.table().Get(42), 5u);
  EXPECT_EQ(engine.counters().fault(Fault::Drop), 1u);
}

TEST(Faults, ErrorRefusesTheChosenVariablesOnly) {
  Engine engine(With(Fault::Error, "var:42"));
  EXPECT_EQ(engine.Handle(WriteRequest(41, 1)).reply, OkReply());
  const Exchange refused = engine.Handle(WriteRequest(42, 1));
  EXPECT_EQ(refused.reply, ErrorReply());
  EXPECT_EQ(refused.faults, std::vector<Fault>{Fault::Error});
  EXPECT_EQ(engine.table().Get(42), 0u);
  EXPECT_EQ(engine.table().Get(41), 1u);
  // A read whose block covers the variable goes unanswered; one beside it
  // does not.
  EXPECT_TRUE(engine.Handle(ReadRequest(40, 5)).line.empty());
  EXPECT_FALSE(engine.Handle(ReadRequest(43, 5)).line.empty());
}

TEST(Faults, CorruptChangesExactlyOneDigitAndTheChecksumNoLongerAgrees) {
  Engine engine(With(Fault::Corrupt, "always"));
  for (int i = 0; i < 200; ++i) engine.table().Set(i, static_cast<std::uint32_t>(i * 2654435761u));
  for (int i = 0; i < 200; ++i) {
    const Exchange x = engine.Handle(ReadRequest(i % 150, 1 + i % 50));
    const Bytes sent = x.transmitted();
    ASSERT_EQ(sent.size(), x.reply.size());
    int differing = 0;
    for (std::size_t k = 0; k < sent.size(); ++k) {
      if (sent[k] == x.reply[k]) continue;
      ++differing;
      EXPECT_GE(k, 1u);
      EXPECT_LE(k, sent.size() - 2);  // never the first or last byte
      EXPECT_TRUE(std::isxdigit(sent[k]) && !std::islower(sent[k])) << x.note;
    }
    EXPECT_EQ(differing, 1) << x.note;
    EXPECT_FALSE(ValueReplyConsistent(sent)) << x.note;
  }
  // An OK reply: one of its checksum digits.
  const Bytes ok = engine.Handle(WriteRequest(1, 1)).transmitted();
  EXPECT_EQ(std::string(ok.begin() + 1, ok.begin() + 3), "OK");
  EXPECT_NE(std::string(ok.begin() + 3, ok.begin() + 5), "66");
}

TEST(Faults, SplitCutsTheReplyIntoPiecesWithGaps) {
  FaultConfig config = With(Fault::Split, "always");
  config.splitPieces = 4;
  config.splitGapMs = 30;
  Engine engine(config);
  for (int count : {0, 1, 106}) {
    const Exchange x = engine.Handle(ReadRequest(0, count));
    ASSERT_EQ(x.line.size(), 4u);
    EXPECT_EQ(x.transmitted(), x.reply);
    EXPECT_EQ(x.line[0].waitMs, 0);
    for (std::size_t i = 0; i < x.line.size(); ++i) {
      EXPECT_FALSE(x.line[i].bytes.empty());
      if (i > 0) {
        EXPECT_EQ(x.line[i].waitMs, 30);
      }
    }
  }
  // No more pieces than bytes.
  config.splitPieces = 50;
  Engine many(config);
  EXPECT_EQ(many.Handle(WriteRequest(1, 1)).line.size(), kOkReplySize);
}

TEST(Faults, DelayHoldsTheWholeReply) {
  FaultConfig config = With(Fault::Delay, "every:2");
  config.delayMs = 1700;
  Engine engine(config);
  EXPECT_EQ(engine.Handle(ReadRequest(0, 1)).line.at(0).waitMs, 0);
  const Exchange late = engine.Handle(ReadRequest(0, 1));
  ASSERT_EQ(late.line.size(), 1u);
  EXPECT_EQ(late.line[0].waitMs, 1700);
  EXPECT_EQ(late.transmitted(), late.reply);
}

TEST(Faults, GarbageFollowsAnIntactReply) {
  FaultConfig config = With(Fault::Garbage, "always");
  config.garbageBytes = 5;
  Engine engine(config);
  const Exchange x = engine.Handle(WriteRequest(9, 9));
  const Bytes sent = x.transmitted();
  ASSERT_EQ(sent.size(), kOkReplySize + 5);
  EXPECT_TRUE(std::equal(x.reply.begin(), x.reply.end(), sent.begin()));
}

TEST(Faults, LineFaultsSpareRequestsThatGetNoReply) {
  FaultConfig config;
  for (Fault f : {Fault::Drop, Fault::Corrupt, Fault::Delay, Fault::Split, Fault::Garbage})
    config[f] = Trigger::Parse("always");
  Engine engine(config);
  const Exchange x = engine.Handle(Corrupted(ReadRequest(1, 1)));
  EXPECT_TRUE(x.line.empty());
  EXPECT_TRUE(x.faults.empty());
  EXPECT_EQ(engine.counters().unanswered, 1u);
}

// Everything the exchanges of a run put on the line, and their faults.
std::vector<std::string> RunAll(std::uint64_t seed, double probability) {
  FaultConfig config;
  config.seed = seed;
  for (auto& t : config.triggers) {
    t.kind = Trigger::Kind::Probability;
    t.probability = probability;
  }
  Engine engine(config);
  std::vector<std::string> out;
  for (int i = 0; i < 300; ++i) {
    const Exchange x =
        engine.Handle(i % 2 ? WriteRequest(i, static_cast<std::uint32_t>(i)) : ReadRequest(i, 3));
    std::string line = x.note + " |";
    for (const auto& chunk : x.line)
      line += " " + std::to_string(chunk.waitMs) + ":" + Hex(chunk.bytes);
    out.push_back(line);
  }
  return out;
}

TEST(Faults, SameSeedSameFaults) {
  EXPECT_EQ(RunAll(7, 0.3), RunAll(7, 0.3));
  EXPECT_NE(RunAll(7, 0.3), RunAll(8, 0.3));
}

}  // namespace
}  // namespace zelsim
