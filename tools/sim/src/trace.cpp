#include "zelsim/trace.h"

#include <algorithm>

namespace zelsim {
namespace {

std::string Text(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string ChecksumVerdict(std::array<char, 2> seen, std::array<char, 2> expected) {
  std::string out = "sum ";
  out += seen[0];
  out += seen[1];
  if (seen == expected) return out + ": ok";
  out += ", expected ";
  out += expected[0];
  out += expected[1];
  return out + ": BAD";
}

std::string Sequence(std::uint8_t c) {
  if (c > 0x20 && c < 0x7F) return std::string(1, static_cast<char>(c));
  return Printable(std::span(&c, 1));
}

}  // namespace

std::string DescribeRequest(const Request& r) {
  const auto& bytes = r.bytes;
  std::string out = r.command == Command::Write ? "W" : "R";
  out += " seq " + Sequence(r.sequence);
  out += " var " + Text(std::span(bytes).subspan(3, 5));
  if (r.command == Command::Write) {
    out += " value " + Text(std::span(bytes).subspan(8, 8));
  } else {
    out += " count " + Text(std::span(bytes).subspan(8, 3));
  }
  out += " " + ChecksumVerdict(r.checksumSeen, r.checksumExpected);
  if (r.verdict != Verdict::Ok && r.verdict != Verdict::BadChecksum)
    out += std::string(", ") + VerdictText(r.verdict);
  return out;
}

std::string DescribeReply(std::span<const std::uint8_t> sent, std::size_t replySize,
                          Command command) {
  const auto reply = sent.first(std::min(replySize, sent.size()));
  if (reply.size() < 4) return "reply of " + std::to_string(reply.size()) + " bytes";
  const auto digitsAt = [&reply](std::size_t at) {
    return std::array<char, 2>{static_cast<char>(reply[at]), static_cast<char>(reply[at + 1])};
  };
  if (command == Command::Write) {
    if (reply.size() == kOkReplySize) {
      return Text(reply.subspan(1, 2)) + " " +
             ChecksumVerdict(digitsAt(3), ChecksumDigits(Checksum(reply.subspan(1, 2))));
    }
    return Text(reply.subspan(1, 5));
  }
  const std::size_t count = (reply.size() - 4) / 8;
  std::string out = count == 0 ? "no values" : "values";
  for (std::size_t i = 0; i < count && i < 8; ++i) out += " " + Text(reply.subspan(1 + 8 * i, 8));
  if (count > 8) out += " ... (" + std::to_string(count) + " values)";
  const std::size_t sumAt = 1 + 8 * count;
  return out + " " +
         ChecksumVerdict(digitsAt(sumAt), ChecksumDigits(Checksum(reply.subspan(1, 8 * count))));
}

Trace::Trace(std::FILE* out, std::string prefix) : out_(out), prefix_(std::move(prefix)) {}

void Trace::Line(double seconds, std::string_view arrow, const std::string& text) {
  if (out_ == nullptr) return;
  std::lock_guard lock(mutex_);
  std::fprintf(out_, "%s%10.3f %.*s %s\n", prefix_.c_str(), seconds, static_cast<int>(arrow.size()),
               arrow.data(), text.c_str());
  (void)std::fflush(out_);  // a trace line lost is not worth stopping the simulator
}

void Trace::Junk(double seconds, std::span<const std::uint8_t> bytes) {
  Line(seconds, "??", "junk, " + std::to_string(bytes.size()) + " bytes | " + Printable(bytes));
}

void Trace::Received(double seconds, const Exchange& x) {
  if (out_ == nullptr) return;
  Line(seconds, "<-", DescribeRequest(x.request) + " | " + Printable(x.request.bytes));
  if (!x.note.empty()) Line(seconds, "  ", "fault " + x.note);
  if (x.reply.empty() && !x.has(Fault::Silent) && !x.has(Fault::Error))
    Line(seconds, "  ", "no reply: the read request failed its checks");
}

void Trace::Sent(double seconds, const Exchange& x, std::size_t index) {
  if (out_ == nullptr) return;
  const Chunk& chunk = x.line[index];
  std::string text;
  if (index == 0) {
    text = DescribeReply(x.transmitted(), x.reply.size(), x.request.command);
    if (x.line.size() > 1) text += ", piece 1/" + std::to_string(x.line.size());
  } else {
    text = "piece " + std::to_string(index + 1) + "/" + std::to_string(x.line.size());
  }
  Line(seconds, "->", text + " | " + Printable(chunk.bytes));
}

void Trace::Note(double seconds, std::string_view text) { Line(seconds, "  ", std::string(text)); }

}  // namespace zelsim
