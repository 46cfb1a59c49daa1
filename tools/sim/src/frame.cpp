#include "zelsim/frame.h"

#include <cstdio>

namespace zelsim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsDecimal(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Upper-case only: requests carry their digits in upper case.
int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The decimal number in the field, or -1 when it holds anything else.
int DecimalField(std::span<const std::uint8_t> field) {
  int value = 0;
  for (std::uint8_t c : field) {
    if (!IsDecimal(c)) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool HexField(std::span<const std::uint8_t> field, std::uint32_t* value) {
  std::uint32_t result = 0;
  for (std::uint8_t c : field) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<std::uint32_t>(digit);
  }
  *value = result;
  return true;
}

void AppendDigits(Bytes& out, std::uint32_t value, int digits, int base) {
  std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(digits));
  for (int i = digits - 1; i >= 0; --i) {
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(kHexDigits[value % base]);
    value /= static_cast<std::uint32_t>(base);
  }
}

void AppendChecksum(Bytes& out, std::span<const std::uint8_t> covered) {
  const auto digits = ChecksumDigits(Checksum(covered));
  out.push_back(static_cast<std::uint8_t>(digits[0]));
  out.push_back(static_cast<std::uint8_t>(digits[1]));
}

Bytes Reply(const char* keyword) {
  Bytes out{kReplyFirst};
  for (const char* p = keyword; *p != '\0'; ++p) out.push_back(static_cast<std::uint8_t>(*p));
  AppendChecksum(out, std::span(out).subspan(1));
  out.push_back(kReplyLast);
  return out;
}

}  // namespace

std::uint8_t Checksum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(0u - sum);
}

std::array<char, 2> ChecksumDigits(std::uint8_t checksum) {
  return {kHexDigits[checksum >> 4], kHexDigits[checksum & 0x0F]};
}

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::BadEnd:
      return "bad end byte";
    case Verdict::BadChecksum:
      return "bad checksum";
    case Verdict::BadDigits:
      return "bad digits";
    case Verdict::CountTooLarge:
      return "count above 106";
    case Verdict::BeyondTable:
      return "count runs past variable 99999";
  }
  return "?";
}

int Request::lastVariable() const {
  if (variable < 0) return -1;
  if (command == Command::Write) return variable;
  return count < 0 ? -1 : variable + count - 1;
}

Request DecodeRequest(std::span<const std::uint8_t> frame) {
  Request r;
  r.bytes.assign(frame.begin(), frame.end());
  r.command = frame[1] == 'W' ? Command::Write : Command::Read;
  r.sequence = frame[2];
  const std::size_t n = frame.size();

  // The checksum covers everything between the lead byte and the checksum
  // digits.
  r.checksumExpected = ChecksumDigits(Checksum(frame.subspan(1, n - 4)));
  r.checksumSeen = {static_cast<char>(frame[n - 3]), static_cast<char>(frame[n - 2])};

  r.variable = DecimalField(frame.subspan(3, 5));
  bool digitsOk = r.variable >= 0;
  if (r.command == Command::Write) {
    digitsOk = HexField(frame.subspan(8, 8), &r.value) && digitsOk;
  } else {
    r.count = DecimalField(frame.subspan(8, 3));
    digitsOk = r.count >= 0 && digitsOk;
  }

  if (frame[n - 1] != kRequestEnd) {
    r.verdict = Verdict::BadEnd;
  } else if (r.checksumSeen != r.checksumExpected) {
    r.verdict = Verdict::BadChecksum;
  } else if (!digitsOk) {
    r.verdict = Verdict::BadDigits;
  } else if (r.command == Command::Read && r.count > kMaxReadCount) {
    r.verdict = Verdict::CountTooLarge;
  } else if (r.command == Command::Read && r.variable + r.count > kVariableCount) {
    r.verdict = Verdict::BeyondTable;
  }
  return r;
}

Bytes WriteRequest(int variable, std::uint32_t value, std::uint8_t sequence) {
  Bytes out{kLeadByte, 'W', sequence};
  AppendDigits(out, static_cast<std::uint32_t>(variable), 5, 10);
  AppendDigits(out, value, 8, 16);
  AppendChecksum(out, std::span(out).subspan(1));
  out.push_back(kRequestEnd);
  return out;
}

Bytes ReadRequest(int variable, int count, std::uint8_t sequence) {
  Bytes out{kLeadByte, 'R', sequence};
  AppendDigits(out, static_cast<std::uint32_t>(variable), 5, 10);
  AppendDigits(out, static_cast<std::uint32_t>(count), 3, 10);
  AppendChecksum(out, std::span(out).subspan(1));
  out.push_back(kRequestEnd);
  return out;
}

Bytes OkReply() { return Reply("OK"); }

Bytes ErrorReply() { return Reply("ERROR"); }

Bytes ValueReply(std::span<const std::uint32_t> values) {
  Bytes out{kReplyFirst};
  out.reserve(ValueReplySize(static_cast<int>(values.size())));
  for (std::uint32_t v : values) AppendDigits(out, v, 8, 16);
  AppendChecksum(out, std::span(out).subspan(1));
  out.push_back(kReplyLast);
  return out;
}

std::string Printable(std::span<const std::uint8_t> bytes) {
  static constexpr const char* kControlNames[32] = {
      "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
      "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
      "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b < 0x20) {
      out += '<';
      out += kControlNames[b];
      out += '>';
    } else if (b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "<x%02X>", b);
      out += buffer;
    }
  }
  return out;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0F];
  }
  return out;
}

}  // namespace zelsim
