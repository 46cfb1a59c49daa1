// ZelMain with any sequence of function codes (in range or not) and
// parameter blocks of any contents, over the recording backend, with
// platform calls failing where the input says and replies of any bytes.
// Pointers stay sane as the host contract has them: every block, text and
// value slot area is a separate allocation of exactly its size, so that a
// touch outside it is caught. After every call:
// - the result is ResultOk, ResultRefused or ResultFailed;
// - nothing the code does not own was written: read-only blocks, the
//   reserved parts of blocks and of the instance, the address text, and the
//   instance for codes that have no business with it;
// - no handle is open except the instance's port, those the host gave up
//   by reopening a port it still held, and those the platform would not
//   close.
//
// Input: calls until the input ends, each
//   code byte: below 0xF0 the code is the byte modulo 16, else a 32-bit
//              code follows;
//   flag byte: bit 0 no parameter block; bit 1 a failure follows (a byte:
//              platform call in bits 0-3 modulo 10, which of its next calls
//              in bits 4-5, plus 1);
//   the block's bytes (an address text: a length byte, then the text).
// Each request the driver writes is answered with a reply taken from the
// input where it stands: a length byte, then the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "support/recording_platform.h"
#include "zelqd/zelqd.h"

namespace {

using zelqd::testing::Bytes;
using zelqd::testing::Op;
using zelqd::testing::RecordingPlatform;

constexpr std::uint8_t kMarker = 0x5A;
constexpr int kMaxCalls = 64;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "zelmain_fuzz: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t Little32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return v;
  }
  void Fill(void* to, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(to);
    for (std::size_t i = 0; i < n; ++i) out[i] = Byte();
  }
  bool Empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A heap copy of exactly n bytes, so that the sanitizer sees its bounds.
struct Area {
  explicit Area(std::size_t n) : size(n), bytes(std::make_unique<std::uint8_t[]>(n ? n : 1)) {}
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> bytes;
  std::vector<std::uint8_t> Snapshot() const {
    return std::vector<std::uint8_t>(bytes.get(), bytes.get() + size);
  }
};

bool Same(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

bool ReservedUntouched(const DriverInstance& i) {
  for (std::uint8_t b : i.reserved12) {
    if (b != kMarker) return false;
  }
  for (std::uint8_t b : i.reserved655) {
    if (b != kMarker) return false;
  }
  return i.reserved682[0] == kMarker && i.reserved682[1] == kMarker;
}

bool IsTransfer(std::int32_t code) {
  return code == CodeReadVar || code == CodeReadBlock || code == CodeWriteVar ||
         code == CodeWriteValue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  RecordingPlatform platform;
  platform.peer = [&](const Bytes&) {
    Bytes reply(in.Byte());
    in.Fill(reply.data(), reply.size());
    platform.Feed(reply);
  };

  auto instance = std::make_unique<DriverInstance>();
  std::memset(instance.get(), 0, sizeof(DriverInstance));
  std::memset(instance->reserved12, kMarker, sizeof instance->reserved12);
  std::memset(instance->reserved655, kMarker, sizeof instance->reserved655);
  std::memset(instance->reserved682, kMarker, sizeof instance->reserved682);
  std::set<zelqd::serial::Handle> givenUp;  // replaced while the host still held them

  for (int n = 0; n < kMaxCalls && !in.Empty(); ++n) {
    const std::uint8_t selector = in.Byte();
    const auto code = selector < 0xF0 ? static_cast<std::int32_t>(selector % 16)
                                      : static_cast<std::int32_t>(in.Little32());
    const std::uint8_t flags = in.Byte();
    if ((flags & 2) != 0) {
      const std::uint8_t f = in.Byte();
      platform.FailOn(static_cast<Op>((f & 0x0F) % 10), 1 + ((f >> 4) & 3));
    }
    const bool noBlock = (flags & 1) != 0;

    // The parameter block of the code, and what it points at.
    std::size_t blockSize = 48;
    if (code == CodeOpenPort) blockSize = sizeof(OpenRequest);
    if (code == CodeChangeZelParams) blockSize = sizeof(PortChangeRequest);
    if (code == CodeParseAddress || code == CodeCheckAddress) blockSize = sizeof(AddressRequest);
    if (IsTransfer(code)) blockSize = sizeof(TransferRequest);
    if (code == CodeGetDriverInfo) blockSize = sizeof(DriverInfo);
    Area block(blockSize);
    in.Fill(block.bytes.get(), blockSize);

    std::unique_ptr<Area> text;
    std::unique_ptr<Area> slots;
    if (code == CodeParseAddress || code == CodeCheckAddress) {
      text = std::make_unique<Area>(in.Byte() % 16 + 1u);
      in.Fill(text->bytes.get(), text->size - 1);
      text->bytes[text->size - 1] = 0;
      reinterpret_cast<AddressRequest*>(block.bytes.get())->addressText =
          reinterpret_cast<const char*>(text->bytes.get());
    }
    if (IsTransfer(code)) {
      auto* request = reinterpret_cast<TransferRequest*>(block.bytes.get());
      // The host gives as many slots as the count asks for, and one for a
      // single value; a count beyond the block limit gets none beyond it.
      std::int32_t count = request->valueCount;
      if (code != CodeReadBlock || count < 1) count = 1;
      if (count > ZELQD_MAX_BLOCK) count = ZELQD_MAX_BLOCK;
      slots = std::make_unique<Area>(4 * static_cast<std::size_t>(count));
      in.Fill(slots->bytes.get(), slots->size);
      request->values = reinterpret_cast<ValueSlot*>(slots->bytes.get());
    }

    const std::vector<std::uint8_t> blockBefore = block.Snapshot();
    const std::vector<std::uint8_t> textBefore = text ? text->Snapshot() : blockBefore;
    const std::vector<std::uint8_t> slotsBefore = slots ? slots->Snapshot() : blockBefore;
    const DriverInstance instanceBefore = *instance;

    DriverCall call{};
    call.instance = instance.get();
    call.code = code;
    call.params = noBlock ? nullptr : block.bytes.get();
    const std::int32_t result = ZelMain(&call);

    Check(result == ResultOk || result == ResultRefused || result == ResultFailed, "result code");
    Check(ReservedUntouched(*instance), "reserved bytes of the instance written");
    const std::vector<std::uint8_t> blockAfter = block.Snapshot();
    const bool blockSame = blockAfter == blockBefore;
    const bool instanceSame = Same(&instanceBefore, instance.get(), sizeof(DriverInstance));
    switch (code) {
      case CodeOpenPort:
      case CodeChangeZelParams:
        Check(blockSame, "a read-only block written");
        break;
      case CodePurgeInput:
      case CodeShutdown:
      case CodeClosePort:
      case CodeReopenPort:
        Check(blockSame, "a block the code has none written");
        break;
      case CodeParseAddress:
      case CodeCheckAddress: {
        Check(instanceSame, "address code touched the instance");
        Check(text->Snapshot() == textBefore, "address text written");
        const auto* before = reinterpret_cast<const AddressRequest*>(blockBefore.data());
        const auto* after = reinterpret_cast<const AddressRequest*>(blockAfter.data());
        Check(before->addressText == after->addressText && before->reserved4 == after->reserved4 &&
                  before->accessKind == after->accessKind &&
                  before->reserved12 == after->reserved12,
              "address block's input fields written");
        if (result != ResultOk && !blockSame) {
          // Only a refused STOP text leaves fields behind: 0, 255 and 32.
          Check(
              after->presetZero == 0 && after->variableClass == 255 && after->presetThirtyTwo == 32,
              "refused address left other fields written");
        }
        break;
      }
      case CodeReadVar:
      case CodeReadBlock:
      case CodeWriteVar:
      case CodeWriteValue: {
        // Only ReadVar and WriteVar write the block, and only 1 into
        // valueCount.
        auto expected = blockBefore;
        const auto* after = reinterpret_cast<const TransferRequest*>(blockAfter.data());
        if ((code == CodeReadVar || code == CodeWriteVar) && after->valueCount == 1) {
          reinterpret_cast<TransferRequest*>(expected.data())->valueCount = 1;
        }
        Check(expected == blockAfter, "transfer block written other than valueCount = 1");
        if (code == CodeWriteVar || code == CodeWriteValue) {
          Check(slots->Snapshot() == slotsBefore, "a write changed its value slot");
        } else if (result != ResultOk) {
          Check(slots->Snapshot() == slotsBefore, "a failed read wrote value slots");
        }
        break;
      }
      case CodeGetDriverInfo: {
        Check(instanceSame, "GetDriverInfo touched the instance");
        const auto* before = reinterpret_cast<const DriverInfo*>(blockBefore.data());
        const auto* after = reinterpret_cast<const DriverInfo*>(blockAfter.data());
        if (!noBlock) {
          Check(result == ResultOk, "GetDriverInfo with a block");
          Check(after->instanceSize == ZELQD_INSTANCE_SIZE, "instance size");
        }
        Check(Same(before->reserved20, after->reserved20, sizeof before->reserved20),
              "DriverInfo.reserved20 written");
        break;
      }
      default:
        Check(result == ResultFailed, "a code without a handler");
        Check(blockSame && instanceSame, "a code without a handler touched memory");
        break;
    }

    // Handles: a port the instance held may be replaced without a close only
    // when the host reopened it, or opened the very same name again (the
    // device refuses that unless it is shared, as the recording one is).
    const zelqd::serial::Handle held = instanceBefore.port;
    if (held != 0 && instance->port != held && platform.openHandles.count(held) != 0) {
      bool sameName = false;
      if (code == CodeOpenPort) {
        sameName = std::strncmp(instanceBefore.portSpec.name,
                                reinterpret_cast<const OpenRequest*>(blockBefore.data())->name,
                                sizeof instanceBefore.portSpec.name) == 0;
      } else if (code == CodeChangeZelParams) {
        sameName =
            std::strncmp(instanceBefore.portSpec.name,
                         reinterpret_cast<const PortChangeRequest*>(blockBefore.data())->name,
                         sizeof instanceBefore.portSpec.name) == 0;
      }
      Check(code == CodeReopenPort || sameName, "a held port lost without a close");
      givenUp.insert(held);
    }
    // A handle whose close the platform refused stays open; nothing more can
    // be done about it.
    for (const auto& c : platform.calls) {
      if (c.op == Op::Close && !c.ok) givenUp.insert(c.handle);
    }
    platform.Clear();
    for (zelqd::serial::Handle h : platform.openHandles) {
      Check(h == instance->port || givenUp.count(h) != 0, "a handle left open");
    }
    Check(instance->port == 0 || platform.openHandles.count(instance->port) != 0,
          "the instance holds a handle that is not open");
  }
  return 0;
}
