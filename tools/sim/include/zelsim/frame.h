// The frames of the line, as the remote computer sees them: the two
// requests it receives, the three replies it sends, and the checksum that
// protects both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zelsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kLeadByte = 0x04;    // first byte of every request
inline constexpr std::uint8_t kRequestEnd = 0x03;  // last byte of every request
inline constexpr std::uint8_t kReplyFirst = 0x02;  // first byte of our replies (STX)
inline constexpr std::uint8_t kReplyLast = 0x03;   // last byte of our replies (ETX)

inline constexpr std::size_t kWriteRequestSize = 19;
inline constexpr std::size_t kReadRequestSize = 14;
inline constexpr std::size_t kOkReplySize = 6;
inline constexpr std::size_t kErrorReplySize = 9;

// The number of variables the remote computer holds (0 to 99999), and the
// most values one read reply carries (8 x 106 + 4 = 852 bytes).
inline constexpr int kVariableCount = 100000;
inline constexpr int kMaxReadCount = 106;

// Size of the reply to a read of count values.
constexpr std::size_t ValueReplySize(int count) { return 8 * static_cast<std::size_t>(count) + 4; }

// Sum of the bytes modulo 256, negated: the covered bytes plus the checksum
// sum to 0 modulo 256.
std::uint8_t Checksum(std::span<const std::uint8_t> bytes);

// The checksum as it travels: two upper-case hexadecimal digits.
std::array<char, 2> ChecksumDigits(std::uint8_t checksum);

enum class Command { Write, Read };

// What the checks of a request found, in the order they are made.
enum class Verdict {
  Ok,
  BadEnd,         // last byte is not 0x03
  BadChecksum,    // checksum digits differ from the sum of the covered bytes
  BadDigits,      // a number field holds something other than its digits
  CountTooLarge,  // a read of more than 106 values
  BeyondTable,    // a read that runs past variable 99999
};

const char* VerdictText(Verdict verdict);

// One request, decoded. Fields that the checks could not read stay -1.
struct Request {
  Command command = Command::Read;
  std::uint8_t sequence = 0;
  int variable = -1;
  std::uint32_t value = 0;  // write: the value carried
  int count = -1;           // read: the number of values asked for
  std::array<char, 2> checksumSeen{};
  std::array<char, 2> checksumExpected{};
  Verdict verdict = Verdict::Ok;
  Bytes bytes;  // the frame as received

  bool ok() const { return verdict == Verdict::Ok; }
  // First and last variable the request concerns; -1 when not decoded.
  int firstVariable() const { return variable; }
  int lastVariable() const;
};

// Size of the request that a command letter starts, or 0 for a byte that is
// no command letter.
constexpr std::size_t RequestSize(std::uint8_t letter) {
  return letter == 'W' ? kWriteRequestSize : letter == 'R' ? kReadRequestSize : 0;
}

// Decodes and checks a whole request frame: frame[0] is the lead byte and the
// size is RequestSize(frame[1]).
Request DecodeRequest(std::span<const std::uint8_t> frame);

// Builds a request frame the way a host does (for tests and benchmarks).
Bytes WriteRequest(int variable, std::uint32_t value, std::uint8_t sequence = '!');
Bytes ReadRequest(int variable, int count, std::uint8_t sequence = '!');

// The replies: "OK" with its checksum digits "66"; "ERROR" followed by its
// own checksum digits; and the values as 8 upper-case hexadecimal digits
// each, followed by the checksum of those digits.
Bytes OkReply();
Bytes ErrorReply();
Bytes ValueReply(std::span<const std::uint32_t> values);

// Renders bytes for a person: printable ASCII as it is, control bytes by
// name (<EOT>, <ETX>, ...), anything else as <xNN>.
std::string Printable(std::span<const std::uint8_t> bytes);

// Renders bytes as space-separated hexadecimal pairs.
std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace zelsim
