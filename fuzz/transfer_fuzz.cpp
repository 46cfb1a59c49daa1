// Read and write transfers through ZelMain against replies of any bytes and
// lengths, one reply per attempt, played by the recording backend. Each
// outcome is checked against a judgement made here on its own, with the C
// library's formatting and scanning in place of the driver's digit code:
// - ResultOk exactly when one of the attempts got a correct reply, and then
//   after exactly that many requests;
// - the value slots hold what the first correct reply carried after
//   ResultOk, and are untouched otherwise; no byte beside them, and no
//   field of the parameter block other than valueCount, is ever written;
// - every request is the frame the variable, count and value give.
//
// Input layout (missing bytes read as 0):
//   0      bits 0-1: ReadBlock, ReadVar, WriteValue, WriteVar;
//          bit 2: traffic suspended; bit 3: slots at an odd address
//   1      value count, signed
//   2-4    variable number (the 24-bit number modulo 110000, minus 5000)
//   5-8    the first value slot's bytes
//   9-10   the instance's sequence field; 11: its lead byte
//   then up to five replies, each a 16-bit length (bits 0-9) with bit 15
//   asking the harness to put correct checksum digits in place, then the
//   bytes (cut short where the input ends).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/recording_platform.h"
#include "zelqd/zelqd.h"

namespace {

using zelqd::testing::Bytes;
using zelqd::testing::RecordingPlatform;

constexpr int kAttempts = 5;
constexpr std::uint8_t kMarker = 0xA5;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "transfer_fuzz: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t Little(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return v;
  }
  bool Empty() const { return at_ >= size_; }
  Bytes Take(std::size_t n) {
    const std::size_t k = n < size_ - at_ ? n : size_ - at_;
    Bytes out(data_ + at_, data_ + at_ + k);
    at_ += k;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The two checksum digits of the covered bytes, as "%.2X" writes them.
std::string SumDigits(const std::uint8_t* bytes, std::size_t length) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += bytes[i];
  char text[3];
  std::snprintf(text, sizeof text, "%.2X", (0u - sum) & 0xFFu);
  return text;
}

// A request: the lead byte, the fields, their checksum digits, 0x03.
Bytes Frame(std::uint8_t leadByte, const char* fields) {
  const std::size_t n = std::strlen(fields);
  Bytes frame{leadByte};
  frame.insert(frame.end(), fields, fields + n);
  const std::string sum = SumDigits(frame.data() + 1, n);
  frame.insert(frame.end(), sum.begin(), sum.end());
  frame.push_back(0x03);
  return frame;
}

// The remote value of a slot: its two 16-bit little-endian words, high
// half first.
std::uint32_t RemoteValue(const std::uint8_t* slot) {
  const unsigned high = slot[0] | slot[1] << 8;
  const unsigned low = slot[2] | slot[3] << 8;
  return static_cast<std::uint32_t>(high << 16 | low);
}

// A read reply of count values: correct when the checksum digits match and
// every group is eight hexadecimal digits; the values as "%8X" converts each
// group.
bool JudgeReadReply(const Bytes& reply, int count, std::vector<std::uint32_t>& values) {
  const std::size_t digits = 8 * static_cast<std::size_t>(count);
  if (reply.size() < digits + 4) return false;
  const std::string sum = SumDigits(reply.data() + 1, digits);
  if (reply[digits + 1] != sum[0] || reply[digits + 2] != sum[1]) return false;
  values.assign(static_cast<std::size_t>(count), 0);
  for (int i = 0; i < count; ++i) {
    char group[9] = {};
    std::memcpy(group, reply.data() + 1 + 8 * i, 8);
    if (std::strspn(group, "0123456789ABCDEFabcdef") != 8) return false;
    unsigned value = 0;
    Check(std::sscanf(group, "%8X", &value) == 1, "oracle: a group of eight digits");
    values[static_cast<std::size_t>(i)] = value;
  }
  return true;
}

// A write reply is correct only as "OK" with the digits "66" (the checksum
// of "OK").
bool JudgeWriteReply(const Bytes& reply) {
  if (reply.size() < 6 || std::memcmp(reply.data() + 1, "OK", 2) != 0) return false;
  const std::string sum = SumDigits(reply.data() + 1, 2);
  return reply[3] == sum[0] && reply[4] == sum[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t mode = in.Byte();
  static constexpr std::int32_t kCodes[] = {CodeReadBlock, CodeReadVar, CodeWriteValue,
                                            CodeWriteVar};
  const std::int32_t code = kCodes[mode & 3];
  const bool read = code == CodeReadBlock || code == CodeReadVar;
  const bool suspended = (mode & 4) != 0;
  const bool oddAddress = (mode & 8) != 0;
  const auto givenCount = static_cast<std::int32_t>(static_cast<std::int8_t>(in.Byte()));
  const std::int32_t variable = static_cast<std::int32_t>(in.Little(3) % 110000) - 5000;
  std::uint8_t firstSlot[4];
  for (std::uint8_t& b : firstSlot) b = in.Byte();
  const auto sequence = static_cast<std::uint16_t>(in.Little(2));
  const std::uint8_t leadByte = in.Byte();

  // What the transfer asks for.
  const bool oneValue = code == CodeReadVar || code == CodeWriteVar;
  const std::int32_t count = oneValue ? 1 : givenCount;
  const bool fits = variable >= 0 && variable <= 99999 && (!read || (count >= 0 && count <= 106));

  // Replies, one per attempt.
  std::vector<Bytes> replies;
  while (!in.Empty() && replies.size() < kAttempts) {
    const std::uint32_t header = in.Little(2);
    Bytes reply = in.Take(header & 0x3FF);
    if ((header & 0x8000) != 0 && fits) {
      if (read && reply.size() >= 8 * static_cast<std::size_t>(count) + 3) {
        const std::size_t digits = 8 * static_cast<std::size_t>(count);
        const std::string sum = SumDigits(reply.data() + 1, digits);
        reply[digits + 1] = static_cast<std::uint8_t>(sum[0]);
        reply[digits + 2] = static_cast<std::uint8_t>(sum[1]);
      } else if (!read && reply.size() >= 5) {
        std::memcpy(reply.data() + 1, "OK66", 4);
      }
    }
    replies.push_back(std::move(reply));
  }

  // The host's memory: the slots in an allocation of their own with one
  // guard byte on each side, the parameter block filled with a marker.
  const std::size_t slotCount =
      read ? static_cast<std::size_t>(count < 0 ? 0 : (count > 106 ? 106 : count)) : 1;
  const std::size_t area = 4 * slotCount + 2 + (oddAddress ? 1 : 0);
  std::vector<std::uint8_t> memory(area, kMarker);
  std::uint8_t* slots = memory.data() + 1 + (oddAddress ? 1 : 0);
  if (!read) std::memcpy(slots, firstSlot, 4);
  const std::vector<std::uint8_t> memoryBefore = memory;

  TransferRequest request;
  std::memset(&request, kMarker, sizeof request);
  request.variableNumber = variable;
  request.variableClass = oneValue ? ZELQD_CLASS_NUMERIC : static_cast<std::int32_t>(mode >> 4);
  request.valueCount = givenCount;
  request.values = reinterpret_cast<ValueSlot*>(slots);
  TransferRequest requestAfter = request;
  if (oneValue && !suspended) requestAfter.valueCount = 1;

  RecordingPlatform platform;
  DriverInstance instance;
  std::memset(&instance, 0, sizeof instance);
  instance.port = platform.DoOpen("fuzz");
  instance.sequence = sequence;
  instance.leadByte = leadByte;
  instance.stopped = suspended ? 1 : 0;
  platform.timeouts.readTotalConstant = 1200;
  std::size_t answered = 0;
  platform.peer = [&](const Bytes&) {
    if (answered < replies.size()) platform.Feed(replies[answered]);
    ++answered;
  };
  platform.Clear();

  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = &request;
  const std::int32_t result = ZelMain(&call);

  // The judgement made here.
  std::int32_t expected = ResultFailed;
  std::size_t expectedRequests = 0;
  std::vector<std::uint32_t> values;
  if (suspended) {
    expected = ResultRefused;
  } else if (fits) {
    for (std::size_t k = 0; k < kAttempts; ++k) {
      ++expectedRequests;
      const Bytes none;
      const Bytes& reply = k < replies.size() ? replies[k] : none;
      if (read ? JudgeReadReply(reply, count, values) : JudgeWriteReply(reply)) {
        expected = ResultOk;
        break;
      }
    }
  }
  Check(result == expected, "result differs from the judgement of the replies");

  // The requests on the line, with the sequence character normalised into
  // 34..254 or else 33.
  const bool keeps = sequence >= 34 && sequence <= 254;
  const int sequenceChar = keeps ? sequence : 33;
  char fields[32];
  if (read) {
    std::snprintf(fields, sizeof fields, "R%c%.5d%.3d", sequenceChar, variable, count);
  } else {
    std::snprintf(fields, sizeof fields, "W%c%.5d%.8X", sequenceChar, variable,
                  RemoteValue(firstSlot));
  }
  const Bytes frame = Frame(leadByte, fields);
  const std::vector<Bytes> writes = platform.Writes();
  Check(writes.size() == expectedRequests, "number of requests");
  for (const Bytes& w : writes) Check(w == frame, "request frame");
  // Every attempt normalises the sequence first, also one whose request
  // cannot be framed; the STOP gate comes before any attempt.
  if (!suspended) {
    Check(instance.sequence == sequenceChar, "sequence normalised");
  } else {
    Check(instance.sequence == sequence, "sequence untouched while suspended");
  }
  Check(instance.leadByte == leadByte && instance.stopped == (suspended ? 1 : 0),
        "instance fields");

  // The host's memory.
  Check(std::memcmp(&request, &requestAfter, sizeof request) == 0,
        "parameter block written beyond valueCount");
  Check(memory.front() == kMarker && memory.back() == kMarker, "byte beside the slots written");
  if (result == ResultOk && read) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      Check(RemoteValue(slots + 4 * i) == values[i], "slot value differs from the reply");
    }
  } else {
    Check(memory == memoryBefore, "slots written without a read's ResultOk");
  }
  return 0;
}
