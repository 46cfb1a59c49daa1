// What the protocol tests share: an instance bound to the recording
// backend, and replies built the way a remote computer builds them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/recording_platform.h"
#include "zelqd/zelqd.h"

namespace zelqd::testing {

// The checksum digits of a text, computed here on their own so that the
// driver's Checksum is not checked against itself.
inline std::string SumDigits(const std::string& covered) {
  unsigned sum = 0;
  for (unsigned char c : covered) sum += c;
  const unsigned check = (256 - sum % 256) % 256;
  const char* hex = "0123456789ABCDEF";
  return {hex[check >> 4], hex[check & 0xF]};
}

// A read reply carrying the given value digits: first byte, digits,
// checksum digits, last byte.
inline std::string ReadReply(const std::string& digits) {
  return "\x06" + digits + SumDigits(digits) + "\r";
}

// Value slots filled with a marker, so that any write to them shows.
struct Slots {
  static constexpr std::uint8_t kMarker = 0xA5;
  std::vector<ValueSlot> slots;
  explicit Slots(std::size_t n) : slots(n) { std::memset(slots.data(), kMarker, n * 4); }
  bool Untouched() const {
    const auto* p = reinterpret_cast<const std::uint8_t*>(slots.data());
    for (std::size_t i = 0; i < slots.size() * 4; ++i) {
      if (p[i] != kMarker) return false;
    }
    return true;
  }
};

// An instance whose port is open on the recording backend, as OpenPort
// leaves it: lead byte 4, sequence 32, traffic running.
class LineTest : public ::testing::Test {
 protected:
  LineTest() {
    instance.port = platform.DoOpen("line");
    instance.leadByte = 4;
    instance.sequence = 32;
    platform.Clear();
  }

  // Answers the nth write (counting from 0) with replies[n]; an empty entry
  // or a write beyond the list gets no answer.
  void Answer(std::vector<std::string> replies) {
    answered_ = 0;
    platform.peer = [this, replies](const Bytes&) {
      if (answered_ < replies.size()) platform.Feed(replies[answered_]);
      ++answered_;
    };
  }

  std::vector<std::string> WrittenTexts() const {
    std::vector<std::string> texts;
    for (const Bytes& b : platform.Writes()) texts.emplace_back(b.begin(), b.end());
    return texts;
  }

  RecordingPlatform platform;
  DriverInstance instance{};

 private:
  std::size_t answered_ = 0;
};

}  // namespace zelqd::testing
