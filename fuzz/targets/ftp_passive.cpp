// The server's answers to PASV and EPSV: the same text through both parsers.
#include <cstdio>
#include <cstring>
#include <string>

#include "ftp/ftp_passive_reply.h"
#include "fuzz_target.h"

CV_FUZZ_TARGET(ftp_passive) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  uint32_t port = 0;
  char address[16];
  if (cvftp::ParsePasv(text.c_str(), address, &port)) {
    // Four numbers of at most 255 and a port of two bytes.
    unsigned a, b, c, d;
    char end;
    FUZZ_CHECK(std::sscanf(address, "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4);
    FUZZ_CHECK(a <= 255 && b <= 255 && c <= 255 && d <= 255);
    FUZZ_CHECK(port <= 65535);
  }
  char extended[64];
  port = 0;
  if (cvftp::ParseEpsv(text.c_str(), extended, &port)) {
    FUZZ_CHECK(std::strlen(extended) < sizeof extended);
    FUZZ_CHECK(port <= 65535);
  }
}
