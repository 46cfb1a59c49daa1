// What the HTTP front end is configured with (config.h reads it).
#pragma once

#include <string>

namespace zelgw {

struct HttpListener {
  bool enabled = true;
  std::string address = "127.0.0.1";
  int port = 8080;
};

}  // namespace zelgw
