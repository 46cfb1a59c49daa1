#include "address/address.h"

#include <array>
#include <cstddef>

namespace zelqd {
namespace {

constexpr std::size_t kPositions = 7;  // normalised positions 0..6
constexpr std::size_t kMaxText = 7;    // a text of 8 or more characters is refused

// Positions 0..6 of the normalised text and a NUL at position 7.
using WorkBuffer = std::array<char, kPositions + 1>;

// One template position: the characters it accepts.
struct Position {
  char first;
  char last;
  constexpr bool Accepts(char c) const { return c >= first && c <= last; }
};
using Template = std::array<Position, kPositions>;

constexpr Template kNumericTemplate = {
    {{'$', '$'}, {'0', '9'}, {'0', '9'}, {'0', '9'}, {'0', '9'}, {'0', '9'}, {' ', ' '}}};
constexpr Template kStopTemplate = {
    {{'$', '$'}, {'S', 'S'}, {'T', 'T'}, {'O', 'O'}, {'P', 'P'}, {' ', ' '}, {' ', ' '}}};

// Length of the text, counted no further than limit + 1 characters.
std::size_t BoundedLength(const char* text, std::size_t limit) {
  std::size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

// Copies a text of at most seven characters, folding 0x61..0x7F down by
// 0x20 and padding with spaces to seven positions.
void NormalizeAddress(const char* text, std::size_t length, WorkBuffer& buffer) {
  for (std::size_t i = 0; i < kPositions; ++i) {
    if (i < length) {
      const auto c = static_cast<unsigned char>(text[i]);
      buffer[i] = static_cast<char>(c >= 0x61 && c <= 0x7F ? c - 0x20 : c);
    } else {
      buffer[i] = ' ';
    }
  }
  buffer[kPositions] = '\0';
}

bool MatchTemplate(const WorkBuffer& buffer, const Template& tmpl) {
  for (std::size_t i = 0; i < kPositions; ++i) {
    if (!tmpl[i].Accepts(buffer[i])) return false;
  }
  return true;
}

std::int32_t FiveDigits(const WorkBuffer& buffer) {
  std::int32_t value = 0;
  for (std::size_t i = 1; i <= 5; ++i) value = value * 10 + (buffer[i] - '0');
  return value;
}

}  // namespace

std::int32_t ParseAddress(AddressRequest& request) {
  if (request.addressText == nullptr) return ResultRefused;
  const std::size_t length = BoundedLength(request.addressText, kMaxText);
  if (length > kMaxText) return ResultRefused;

  WorkBuffer buffer;
  NormalizeAddress(request.addressText, length, buffer);
  const bool numeric = MatchTemplate(buffer, kNumericTemplate);
  if (!numeric && !MatchTemplate(buffer, kStopTemplate)) return ResultRefused;

  request.presetZero = 0;
  request.variableClass = ZELQD_CLASS_NUMERIC;
  request.presetThirtyTwo = 32;

  if (!numeric) {
    if (request.accessKind != kAccessKindStop) return ResultRefused;
    request.variableClass = ZELQD_CLASS_STOP;
    request.typeLetter = 'S';
    return ResultOk;
  }
  request.variableNumber = FiveDigits(buffer);
  request.typeLetter = 'N';
  return ResultOk;
}

std::int32_t CheckAddress(AddressRequest& request) {
  if (request.accessKind == kAccessKindStop) return ResultRefused;
  return ParseAddress(request) == ResultOk ? ResultOk : ResultRefused;
}

}  // namespace zelqd
