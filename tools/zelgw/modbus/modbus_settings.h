// What the Modbus front end is configured with (config.h reads it): the
// listener and, for each line, its unit id and register map.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelgw {

enum class WordOrder { HighFirst, LowFirst };

// count variables from firstVariable on, in the registers from
// firstRegister on, two registers a variable.
struct RegisterRange {
  int firstRegister = 0;
  int firstVariable = 0;
  int count = 0;
};

struct ModbusLine {
  int unitId = 1;
  WordOrder wordOrder = WordOrder::HighFirst;
  bool untaggedWrites = false;
  bool stopWritable = false;
  bool allowHalfReads = false;
  std::vector<RegisterRange> ranges;
};

// A network of client addresses: IPv4 ones as IPv4-mapped IPv6 addresses, so
// that one comparison covers both families.
struct ClientNetwork {
  std::uint8_t address[16] = {};
  int prefix = 128;  // leading bits that must match
  std::string text;  // as the file gave it
};
// "10.1.0.0/16", "192.0.2.7", "2001:db8::/32", "::1"; nothing when the text
// is none of these (or has host bits set beyond the prefix).
std::optional<ClientNetwork> ParseClientNetwork(std::string_view text);
// address: 16 bytes, an IPv6 address or an IPv4-mapped one.
bool NetworkContains(const ClientNetwork& network, const std::uint8_t* address);

struct ModbusListener {
  std::string address = "0.0.0.0";
  int port = 502;
  int maxClients = 32;
  int idleTimeoutSeconds = 60;
  int maxConnectionsPerClient = 8;
  std::vector<ClientNetwork> allow;  // empty: anyone
};

}  // namespace zelgw
