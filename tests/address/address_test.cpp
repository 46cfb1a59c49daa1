#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelqd/zelqd.h"

namespace {

constexpr std::int32_t kMarker = 0x7E7E7E7E;
constexpr std::int32_t kStopKind = 6;
constexpr std::int32_t kOtherKind = 2;

AddressRequest MarkedRequest(const char* text, std::int32_t kind) {
  AddressRequest r;
  r.addressText = text;
  r.reserved4 = kMarker;
  r.accessKind = kind;
  r.reserved12 = kMarker;
  r.presetZero = kMarker;
  r.typeLetter = kMarker;
  r.variableNumber = kMarker;
  r.variableClass = kMarker;
  r.presetThirtyTwo = kMarker;
  return r;
}

std::int32_t Call(std::int32_t code, AddressRequest& r) {
  DriverCall call{};
  call.code = code;
  call.params = &r;
  return ZelMain(&call);
}

// What a call is expected to leave in the block.
enum class Fill {
  None,     // block unchanged
  Presets,  // presetZero 0, class 255, presetThirtyTwo 32 only
  Numeric,  // all five results for a numeric variable
  Stop,     // presets, class 1, type "S"; number untouched
};

struct Case {
  std::string text;
  std::int32_t kind;
  std::int32_t parseResult;
  Fill parseFill;
  std::int32_t checkResult;
  Fill checkFill;
  std::int32_t number;  // for Fill::Numeric
};

void ExpectFill(const AddressRequest& r, Fill fill, std::int32_t number) {
  EXPECT_EQ(r.reserved4, kMarker);
  EXPECT_EQ(r.reserved12, kMarker);
  switch (fill) {
    case Fill::None:
      EXPECT_EQ(r.presetZero, kMarker);
      EXPECT_EQ(r.typeLetter, kMarker);
      EXPECT_EQ(r.variableNumber, kMarker);
      EXPECT_EQ(r.variableClass, kMarker);
      EXPECT_EQ(r.presetThirtyTwo, kMarker);
      break;
    case Fill::Presets:
      EXPECT_EQ(r.presetZero, 0);
      EXPECT_EQ(r.typeLetter, kMarker);
      EXPECT_EQ(r.variableNumber, kMarker);
      EXPECT_EQ(r.variableClass, 255);
      EXPECT_EQ(r.presetThirtyTwo, 32);
      break;
    case Fill::Numeric:
      EXPECT_EQ(r.presetZero, 0);
      EXPECT_EQ(r.typeLetter, 'N');
      EXPECT_EQ(r.variableNumber, number);
      EXPECT_EQ(r.variableClass, 255);
      EXPECT_EQ(r.presetThirtyTwo, 32);
      break;
    case Fill::Stop:
      EXPECT_EQ(r.presetZero, 0);
      EXPECT_EQ(r.typeLetter, 'S');
      EXPECT_EQ(r.variableNumber, kMarker);
      EXPECT_EQ(r.variableClass, 1);
      EXPECT_EQ(r.presetThirtyTwo, 32);
      break;
  }
}

TEST(Address, ParseAndCheckTable) {
  const std::vector<Case> cases = {
      {"$12345", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 12345},
      {"$12345", kStopKind, ResultOk, Fill::Numeric, ResultRefused, Fill::None, 12345},
      {"$00001", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 1},
      {"$00010", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 10},
      {"$00000", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 0},
      {"$99999", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 99999},
      {"$12345 ", kOtherKind, ResultOk, Fill::Numeric, ResultOk, Fill::Numeric, 12345},
      {"$1234", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$123456", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$1234567", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$12345678901", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$-1234", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$+1234", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$ 1234", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {" $12345", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"12345", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$STOP", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$stop", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$Stop", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$STOP ", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$STOP  ", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$STOP", kOtherKind, ResultRefused, Fill::Presets, ResultRefused, Fill::Presets, 0},
      {"$stop", kOtherKind, ResultRefused, Fill::Presets, ResultRefused, Fill::Presets, 0},
      {"$STO", kStopKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$STOPX", kStopKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"STOP", kStopKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      // Only 0x61..0x7F are folded: 0x7B..0x7F fold onto [\]^_ and never match,
      // and bytes above 0x7F stay as they are.
      {"$\x73top", kStopKind, ResultOk, Fill::Stop, ResultRefused, Fill::None, 0},
      {"$\xd3TOP", kStopKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      {"$1234\x7f", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
      // A digit folded from 0x70..0x79 would be "P".."Y": never a digit.
      {"$1234\x70", kOtherKind, ResultRefused, Fill::None, ResultRefused, Fill::None, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.text << "\" kind " << c.kind);
    AddressRequest parsed = MarkedRequest(c.text.c_str(), c.kind);
    EXPECT_EQ(Call(CodeParseAddress, parsed), c.parseResult);
    ExpectFill(parsed, c.parseFill, c.number);
    EXPECT_EQ(parsed.addressText, c.text.c_str());
    EXPECT_EQ(parsed.accessKind, c.kind);

    AddressRequest checked = MarkedRequest(c.text.c_str(), c.kind);
    EXPECT_EQ(Call(CodeCheckAddress, checked), c.checkResult);
    ExpectFill(checked, c.checkFill, c.number);
  }
}

TEST(Address, TextIsNeverChangedAndNeverReadPastTheLengthLimit) {
  // Eight characters and no terminator after them: the length test must stop
  // at the eighth character.
  char text[8] = {'$', '1', '2', '3', '4', '5', '6', '7'};
  AddressRequest r = MarkedRequest(text, kOtherKind);
  EXPECT_EQ(Call(CodeParseAddress, r), ResultRefused);
  ExpectFill(r, Fill::None, 0);
  EXPECT_EQ(std::string(text, 8), "$1234567");

  char lower[] = "$stop";
  AddressRequest s = MarkedRequest(lower, kStopKind);
  EXPECT_EQ(Call(CodeParseAddress, s), ResultOk);
  EXPECT_STREQ(lower, "$stop");
}

TEST(Address, NullTextIsRefused) {
  for (std::int32_t code : {CodeParseAddress, CodeCheckAddress}) {
    AddressRequest r = MarkedRequest(nullptr, kOtherKind);
    EXPECT_EQ(Call(code, r), ResultRefused);
    ExpectFill(r, Fill::None, 0);
  }
}

TEST(Address, CheckWithStopKindDoesNotReadTheText) {
  AddressRequest r = MarkedRequest(nullptr, kStopKind);
  EXPECT_EQ(Call(CodeCheckAddress, r), ResultRefused);
  ExpectFill(r, Fill::None, 0);
}

}  // namespace
