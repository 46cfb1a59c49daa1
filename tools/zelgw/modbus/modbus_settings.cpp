#include "modbus/modbus_settings.h"

#include <arpa/inet.h>

#include <cstring>

namespace zelgw {

std::optional<ClientNetwork> ParseClientNetwork(std::string_view text) {
  ClientNetwork network;
  network.text = std::string(text);
  const std::size_t slash = text.find('/');
  const std::string host(text.substr(0, slash));
  int bits = -1;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    bits = 0;
    for (const char d : digits) {
      if (d < '0' || d > '9') return std::nullopt;
      bits = bits * 10 + (d - '0');
    }
  }
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    if (bits > 32) return std::nullopt;
    network.address[10] = network.address[11] = 0xFF;
    std::memcpy(network.address + 12, &v4, 4);
    network.prefix = 96 + (bits < 0 ? 32 : bits);
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (bits > 128) return std::nullopt;
    std::memcpy(network.address, &v6, 16);
    network.prefix = bits < 0 ? 128 : bits;
  } else {
    return std::nullopt;
  }
  // No host bits beyond the prefix: "10.1.2.3/16" is a mistake for 10.1.0.0/16.
  for (int bit = network.prefix; bit < 128; ++bit) {
    if ((network.address[bit / 8] >> (7 - bit % 8) & 1) != 0) return std::nullopt;
  }
  return network;
}

bool NetworkContains(const ClientNetwork& network, const std::uint8_t* address) {
  const int whole = network.prefix / 8;
  if (std::memcmp(network.address, address, static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = network.prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (network.address[whole] & mask) == (address[whole] & mask);
}

}  // namespace zelgw
