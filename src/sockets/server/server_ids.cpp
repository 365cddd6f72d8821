// Server UUIDs and the temporary directory of the server starts.
#include "sockets/server/server_ids.h"

#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace cvsock {

bool ParseUuid(const std::string& text, uint8_t out[16]) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36) return false;
  int k = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (t[i] != '-') return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(t[i])) || !std::isxdigit(static_cast<unsigned char>(t[i + 1])))
      return false;
    out[k++] = uint8_t(std::strtoul(t.substr(i, 2).c_str(), nullptr, 16));
    ++i;
  }
  return k == 16;
}

bool NewUuid(uint8_t out[16]) {
  const bool random = ::getrandom(out, 16, 0) == 16;
  if (!random)
    for (int i = 0; i < 16; ++i) out[i] = uint8_t(std::rand());
  out[6] = uint8_t((out[6] & 0x0F) | 0x40);
  out[8] = uint8_t((out[8] & 0x3F) | 0x80);
  return random;
}

std::string FormatUuid(const uint8_t u[16]) {
  char out[40];
  std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return out;
}

std::string SystemTemp() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = t && *t ? t : "/tmp";
  if (dir.size() > 3 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace cvsock
