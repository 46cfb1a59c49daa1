#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "zelqd/zelqd.h"

namespace {

// A parameter block large enough for any code, filled with a marker.
struct Canvas {
  unsigned char bytes[256];
  Canvas() { std::memset(bytes, 0x5A, sizeof bytes); }
  bool Untouched() const {
    for (unsigned char b : bytes) {
      if (b != 0x5A) return false;
    }
    return true;
  }
};

struct MarkedInstance {
  DriverInstance instance;
  MarkedInstance() { std::memset(&instance, 0x3C, sizeof instance); }
  bool Untouched() const {
    const auto* p = reinterpret_cast<const unsigned char*>(&instance);
    for (std::size_t i = 0; i < sizeof instance; ++i) {
      if (p[i] != 0x3C) return false;
    }
    return true;
  }
};

TEST(Entry, NullCallBlockFails) { EXPECT_EQ(ZelMain(nullptr), ResultFailed); }

TEST(Entry, CodesWithoutHandlerFailAndTouchNothing) {
  for (int code : {0, 8, 9, -1, 16, 17, 255, 0x7FFFFFFF, static_cast<int>(0x80000000u)}) {
    SCOPED_TRACE(code);
    MarkedInstance inst;
    Canvas params;
    DriverCall call{};
    call.instance = &inst.instance;
    call.code = code;
    call.params = params.bytes;
    EXPECT_EQ(ZelMain(&call), ResultFailed);
    EXPECT_TRUE(inst.Untouched());
    EXPECT_TRUE(params.Untouched());
  }
}

struct NullCase {
  int code;
  bool nullInstance;
  bool nullParams;
  int expected;
};

TEST(Entry, MissingBlocksAreRefusedWithoutTouchingAnything) {
  const std::vector<NullCase> cases = {
      {CodeOpenPort, true, false, ResultFailed},
      {CodeOpenPort, false, true, ResultFailed},
      {CodePurgeInput, true, false, ResultFailed},
      {CodeParseAddress, false, true, ResultRefused},
      {CodeCheckAddress, false, true, ResultRefused},
      {CodeReadVar, true, false, ResultFailed},
      {CodeReadVar, false, true, ResultFailed},
      {CodeReadBlock, false, true, ResultFailed},
      {CodeWriteVar, true, false, ResultFailed},
      {CodeWriteVar, false, true, ResultFailed},
      {CodeWriteValue, false, true, ResultFailed},
      {CodeShutdown, true, false, ResultFailed},
      {CodeClosePort, true, false, ResultFailed},
      {CodeReopenPort, true, false, ResultFailed},
      {CodeGetDriverInfo, false, true, ResultFailed},
      {CodeChangeZelParams, true, false, ResultFailed},
      {CodeChangeZelParams, false, true, ResultFailed},
  };
  for (const NullCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << " nullInstance " << c.nullInstance);
    MarkedInstance inst;
    Canvas params;
    DriverCall call{};
    call.instance = c.nullInstance ? nullptr : &inst.instance;
    call.code = c.code;
    call.params = c.nullParams ? nullptr : params.bytes;
    EXPECT_EQ(ZelMain(&call), c.expected);
    EXPECT_TRUE(inst.Untouched());
    EXPECT_TRUE(params.Untouched());
  }
}

TEST(Entry, AddressCodesDoNotNeedAnInstance) {
  AddressRequest req{};
  req.addressText = "$00042";
  DriverCall call{};
  call.code = CodeParseAddress;
  call.params = &req;
  EXPECT_EQ(ZelMain(&call), ResultOk);
  EXPECT_EQ(req.variableNumber, 42);
}

}  // namespace
