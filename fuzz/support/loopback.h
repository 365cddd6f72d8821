#pragma once
// The IPv4 loopback address with a port, the only address the fuzz targets ever use.
#include <arpa/inet.h>
#include <netinet/in.h>

namespace cvfuzz {

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  return a;
}

}  // namespace cvfuzz
