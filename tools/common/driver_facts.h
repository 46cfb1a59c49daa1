// What the hosts among the tools know of the driver's timing: the longest a
// transfer (ReadBlock, WriteVar) can take inside the driver, from the read
// time-out in force and the line's rate and framing. The driver's bound, in
// one place: zelgw's stuck-line check and watchdog use it, and its manual
// page states it from here.
//
// One attempt, at most:
//   settle   T + W(reply) + W(request) + quiet gap + 25 ms
//            (the rest of an earlier reply that came late is drained first)
//   purge    T                   (input waiting before the request)
//   write    1000 ms + 19 c      (the write time-out set at open; c is one
//                                character's wire time, rounded up to ms)
//   reply    2 T + 2 W(reply)    (the attempt's deadline for its reply)
// and a transfer is at most five attempts. Before its first request the
// driver may settle a late reply to the previous transfer, for at most
// 2 T + W(request) + W(previous reply) + 25 ms, and a remote that answers one
// request after the other can stretch that by as much again for each further
// reply it still owes, at most four times: five such settles at most, counted
// here with the longest reply (a block of 106 values) as the previous one. T is the read time-out
// in force: the reply time-out given at open, in units of 10 ms, never below 1200 ms. W(n) is the
// wire time of n characters at the line's rate, with a start bit, the data bits, a parity bit
// unless none, and one stop bit (two for one and a half or two). The quiet gap is four characters'
// time, 10 ms at least, at most T.
#pragma once

#include <algorithm>
#include <cstdint>

#include "zelqd/zelqd.h"

namespace zeltools::driver_facts {

inline constexpr std::int64_t kMinReadTimeoutMs = ZELQD_MIN_READ_TIMEOUT_MS;
inline constexpr std::int64_t kTimeoutUnitMs = ZELQD_TIMEOUT_UNIT_MS;
inline constexpr std::int64_t kWriteTimeoutMs = 1000;
inline constexpr std::int64_t kSettleMarginMs = 25;
inline constexpr std::int64_t kQuietGapMs = 10;
inline constexpr std::int64_t kQuietGapCharacters = 4;
inline constexpr int kAttempts = ZELQD_ATTEMPTS;

// Frame sizes, in characters.
inline constexpr int kReadRequestSize = 14;
inline constexpr int kWriteRequestSize = 19;
inline constexpr int kWriteReplySize = 9;    // the longer of the two write replies
inline constexpr int kOkWriteReplySize = 6;  // the shorter one
inline constexpr int kMaxBlock = 106;
constexpr int ReadReplySize(int count) { return 8 * count + 4; }

// The read time-out in force for a reply time-out given in milliseconds (the
// driver takes it in units of 10 ms, rounded up, and never less than 1200 ms).
constexpr std::int64_t ReadTimeoutMs(std::int64_t replyTimeoutMs) {
  const std::int64_t units =
      (std::max<std::int64_t>(replyTimeoutMs, 0) + kTimeoutUnitMs - 1) / kTimeoutUnitMs;
  return std::max(kMinReadTimeoutMs, kTimeoutUnitMs * units);
}

constexpr std::int64_t CharacterBits(int dataBits, int parity, int stopBits) {
  return 1 + dataBits + (parity != 0 ? 1 : 0) + (stopBits == 0 ? 1 : 2);
}

// Milliseconds that count characters take on the wire, rounded up.
constexpr std::int64_t WireMs(std::int64_t count, std::int64_t bits, std::int64_t baud) {
  const std::int64_t rate = baud > 0 ? baud : 1;
  return (count * bits * 1000 + rate - 1) / rate;
}

struct Framing {
  int baud = 9600;
  int dataBits = 8;
  int parity = 0;
  int stopBits = 0;
};

// The longest one attempt takes, for a request and a whole reply of the
// given sizes, with read time-out T (ms).
constexpr std::int64_t AttemptBoundMs(std::int64_t readTimeoutMs, const Framing& f, int requestSize,
                                      int replySize) {
  const std::int64_t t = readTimeoutMs;
  const std::int64_t bits = CharacterBits(f.dataBits, f.parity, f.stopBits);
  const std::int64_t request = WireMs(requestSize, bits, f.baud);
  const std::int64_t reply = WireMs(replySize, bits, f.baud);
  const std::int64_t gap =
      std::min(t, std::max(kQuietGapMs, WireMs(kQuietGapCharacters, bits, f.baud)));
  const std::int64_t settle = t + reply + request + gap + kSettleMarginMs;
  const std::int64_t purge = t;
  const std::int64_t write = kWriteTimeoutMs + kWriteRequestSize * WireMs(1, bits, f.baud);
  const std::int64_t receive = 2 * t + 2 * reply;
  return settle + purge + write + receive;
}

// The settles before a transfer's first request: of the previous transfer's
// late reply, and of the further replies a one-at-a-time remote still owes.
constexpr std::int64_t LeadingSettleBoundMs(std::int64_t readTimeoutMs, const Framing& f,
                                            int requestSize) {
  const std::int64_t bits = CharacterBits(f.dataBits, f.parity, f.stopBits);
  const std::int64_t one = 2 * readTimeoutMs + WireMs(requestSize, bits, f.baud) +
                           WireMs(ReadReplySize(kMaxBlock), bits, f.baud) + kSettleMarginMs;
  return kAttempts * one;
}

constexpr std::int64_t TransferBoundMs(std::int64_t readTimeoutMs, const Framing& f,
                                       int requestSize, int replySize) {
  return LeadingSettleBoundMs(readTimeoutMs, f, requestSize) +
         kAttempts * AttemptBoundMs(readTimeoutMs, f, requestSize, replySize);
}

// The longest of any transfer on the line: a block read of the most values,
// or a write.
constexpr std::int64_t AnyTransferBoundMs(std::int64_t readTimeoutMs, const Framing& f) {
  return std::max(TransferBoundMs(readTimeoutMs, f, kReadRequestSize, ReadReplySize(kMaxBlock)),
                  TransferBoundMs(readTimeoutMs, f, kWriteRequestSize, kWriteReplySize));
}

}  // namespace zeltools::driver_facts
