#include "protocol/checksum.h"

namespace zelqd::protocol {

std::uint8_t Checksum(const std::uint8_t* bytes, std::int32_t length) {
  std::uint32_t sum = 0;
  for (std::int32_t i = 0; i < length; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(0u - sum);
}

}  // namespace zelqd::protocol
