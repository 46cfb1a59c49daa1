// Address texts of any bytes and length, with either access kind: the
// parser must stay inside the text, touch only the description fields, and
// answer only ResultOk or ResultRefused, consistently with the two templates.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zelqd/zelqd.h"

namespace {

constexpr std::int32_t kMarker = 0x55555555;

bool Digit(char c) { return c >= '0' && c <= '9'; }
char Upper(char c) {
  const auto u = static_cast<unsigned char>(c);
  return static_cast<char>(u >= 0x61 && u <= 0x7F ? u - 0x20 : u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::int32_t kind = (data[0] & 1) ? 6 : (data[0] >> 1);
  // The text: the rest of the input up to its first NUL, in an allocation of
  // its own so that any read past the terminator is caught.
  std::size_t length = 0;
  while (1 + length < size && data[1 + length] != 0) ++length;
  std::vector<char> text(data + 1, data + 1 + length);
  text.push_back('\0');

  AddressRequest request;
  request.addressText = text.data();
  request.reserved4 = request.reserved12 = kMarker;
  request.accessKind = kind;
  request.presetZero = request.typeLetter = request.variableNumber = kMarker;
  request.variableClass = request.presetThirtyTwo = kMarker;

  DriverCall call{};
  call.code = (data[0] & 2) ? CodeCheckAddress : CodeParseAddress;
  call.params = &request;
  const std::int32_t result = ZelMain(&call);
  if (result != ResultOk && result != ResultRefused) std::abort();
  if (request.reserved4 != kMarker || request.reserved12 != kMarker) std::abort();
  if (request.accessKind != kind || request.addressText != text.data()) std::abort();

  // What the text should give, from the templates.
  char norm[7];
  for (std::size_t i = 0; i < 7; ++i) norm[i] = i < length ? Upper(text[i]) : ' ';
  const bool fits = length <= 7;
  const bool numeric = fits && norm[0] == '$' && Digit(norm[1]) && Digit(norm[2]) &&
                       Digit(norm[3]) && Digit(norm[4]) && Digit(norm[5]) && norm[6] == ' ';
  const bool stop = fits && std::memcmp(norm, "$STOP  ", 7) == 0;
  const bool check = call.code == CodeCheckAddress;
  const bool expectOk = check ? (kind != 6 && numeric) : (numeric || (stop && kind == 6));
  if ((result == ResultOk) != expectOk) std::abort();
  if (numeric && result == ResultOk) {
    const int number = (norm[1] - '0') * 10000 + (norm[2] - '0') * 1000 + (norm[3] - '0') * 100 +
                       (norm[4] - '0') * 10 + (norm[5] - '0');
    if (request.variableNumber != number || request.typeLetter != 'N') std::abort();
  }
  if (!numeric && request.variableNumber != kMarker) std::abort();
  return 0;
}
