#include "zelsim/engine.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace zelsim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Decorrelates the two generators that share one seed.
constexpr std::uint64_t kDetailStream = 0x5DEECE66Dull;

void AddNote(std::string& note, const std::string& text) {
  if (!note.empty()) note += "; ";
  note += text;
}

}  // namespace

bool Exchange::has(Fault fault) const {
  return std::find(faults.begin(), faults.end(), fault) != faults.end();
}

Bytes Exchange::transmitted() const {
  Bytes out;
  for (const auto& chunk : line) out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
  return out;
}

Engine::Engine(FaultConfig faults)
    : faults_(std::move(faults)),
      decisions_(faults_.seed),
      details_(faults_.seed ^ kDetailStream) {}

std::vector<Event> Engine::Feed(std::span<const std::uint8_t> bytes) {
  counters_.bytesReceived += bytes.size();
  reader_.Push(bytes);
  std::vector<Event> events;
  while (auto item = reader_.Next()) {
    if (item->kind == ReaderItem::Kind::Junk) {
      ++counters_.junkRuns;
      counters_.junkBytes += item->bytes.size();
      events.emplace_back(Junk{std::move(item->bytes)});
    } else {
      events.emplace_back(Handle(item->bytes));
    }
  }
  return events;
}

Exchange Engine::Handle(std::span<const std::uint8_t> frame) {
  Exchange x;
  x.ordinal = ++ordinal_;
  x.request = DecodeRequest(frame);
  const Request& r = x.request;
  ++(r.command == Command::Write ? counters_.writeRequests : counters_.readRequests);
  ++counters_.verdict(r.verdict);

  // Every random trigger draws once per request, whatever the others decide,
  // so that one seed always gives the same decisions for the same requests.
  std::vector<Fault> hit;
  for (int f = 0; f < kFaultKinds; ++f) {
    const Fault fault = static_cast<Fault>(f);
    const Trigger& trigger = faults_[fault];
    const double draw = trigger.random() ? decisions_.Unit() : 0.0;
    if (trigger.Hits(x.ordinal, r.firstVariable(), r.lastVariable(), draw)) hit.push_back(fault);
  }
  const auto hits = [&hit](Fault f) { return std::find(hit.begin(), hit.end(), f) != hit.end(); };

  if (hits(Fault::Silent)) {
    x.faults.push_back(Fault::Silent);
    ++counters_.fault(Fault::Silent);
    ++counters_.unanswered;
    AddNote(x.note, "silent: request ignored");
    return x;
  }
  Answer(x, hits(Fault::Error));
  if (x.reply.empty()) {
    ++counters_.unanswered;
    return x;
  }
  if (hits(Fault::Drop)) {
    x.faults.push_back(Fault::Drop);
    ++counters_.fault(Fault::Drop);
    AddNote(x.note, "drop: reply lost on the line");
    return x;
  }
  ApplyLineFaults(x, hit);
  return x;
}

void Engine::Answer(Exchange& x, bool refused) {
  const Request& r = x.request;
  if (r.command == Command::Write) {
    if (r.ok() && !refused) {
      table_.Set(r.variable, r.value);
      ++counters_.valuesStored;
      x.reply = OkReply();
      ++counters_.okReplies;
      return;
    }
    x.reply = ErrorReply();
    ++counters_.errorReplies;
  } else if (r.ok() && !refused) {
    x.reply = ValueReply(table_.Range(r.variable, r.count));
    counters_.valuesRead += static_cast<std::uint64_t>(r.count);
    ++counters_.valueReplies;
    return;
  }
  if (r.ok()) {  // refused by the Error fault
    x.faults.push_back(Fault::Error);
    ++counters_.fault(Fault::Error);
    AddNote(x.note, r.command == Command::Write ? "error: write refused, nothing stored"
                                                : "error: read refused, no reply");
  }
}

std::string Engine::Corrupt(Bytes& bytes, Command command) {
  // The digits of each reply form: "66" of OK, the two digits after ERROR,
  // the value and checksum digits of a value reply.
  std::size_t first = 1;
  std::size_t last = bytes.size() - 2;
  if (command == Command::Write) {
    first = bytes.size() == kOkReplySize ? 3 : 6;
    last = first + 1;
  }
  const std::size_t at = first + details_.Below(static_cast<std::uint32_t>(last - first + 1));
  const std::uint8_t before = bytes[at];
  const char* digit = std::find(kHexDigits, kHexDigits + 16, static_cast<char>(before));
  const std::uint32_t index = static_cast<std::uint32_t>(digit - kHexDigits) % 16;
  const std::uint8_t after =
      static_cast<std::uint8_t>(kHexDigits[(index + 1 + details_.Below(15)) % 16]);
  bytes[at] = after;
  char note[64];
  std::snprintf(note, sizeof note, "corrupt: byte %zu '%c' -> '%c'", at, before, after);
  return note;
}

void Engine::ApplyLineFaults(Exchange& x, const std::vector<Fault>& hit) {
  const auto hits = [&hit](Fault f) { return std::find(hit.begin(), hit.end(), f) != hit.end(); };
  const auto took = [&](Fault f) {
    x.faults.push_back(f);
    ++counters_.fault(f);
  };
  Bytes bytes = x.reply;
  if (hits(Fault::Corrupt)) {
    took(Fault::Corrupt);
    AddNote(x.note, Corrupt(bytes, x.request.command));
  }

  if (hits(Fault::Split) && faults_.splitPieces > 1 && bytes.size() > 1) {
    took(Fault::Split);
    const std::size_t pieces =
        std::min(static_cast<std::size_t>(faults_.splitPieces), bytes.size());
    std::set<std::size_t> cuts;
    while (cuts.size() < pieces - 1)
      cuts.insert(1 + details_.Below(static_cast<std::uint32_t>(bytes.size() - 1)));
    std::size_t from = 0;
    cuts.insert(bytes.size());
    for (std::size_t cut : cuts) {
      x.line.push_back({from == 0 ? 0 : faults_.splitGapMs,
                        Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                              bytes.begin() + static_cast<std::ptrdiff_t>(cut))});
      from = cut;
    }
    AddNote(x.note, "split: " + std::to_string(pieces) + " pieces, " +
                        std::to_string(faults_.splitGapMs) + " ms apart");
  } else {
    x.line.push_back({0, std::move(bytes)});
  }

  if (hits(Fault::Delay)) {
    took(Fault::Delay);
    x.line.front().waitMs = faults_.delayMs;
    AddNote(x.note, "delay: " + std::to_string(faults_.delayMs) + " ms");
  }
  if (hits(Fault::Garbage) && faults_.garbageBytes > 0) {
    took(Fault::Garbage);
    Bytes& tail = x.line.back().bytes;
    for (int i = 0; i < faults_.garbageBytes; ++i)
      tail.push_back(static_cast<std::uint8_t>(details_.Below(256)));
    AddNote(x.note, "garbage: " + std::to_string(faults_.garbageBytes) + " bytes after the reply");
  }
}

}  // namespace zelsim
