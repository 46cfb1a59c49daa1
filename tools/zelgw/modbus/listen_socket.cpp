#include "modbus/listen_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelgw {

int BindListener(const std::string& address, int port, std::string& why, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc =
      ::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    error = rc == EAI_SYSTEM ? errno : 0;
    why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  error = 0;
  for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
      error = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(list);
  if (fd < 0) why = std::strerror(error != 0 ? error : EADDRNOTAVAIL);
  return fd;
}

}  // namespace zelgw
