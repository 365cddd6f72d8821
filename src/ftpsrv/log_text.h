#pragma once
// Text that goes into a server's access log from a client: quotes, backslashes and control
// bytes are escaped (\", \\, \xHH), so that what a client sends can never end a field
// or a line of its own and forge another. Shared by the FTP and HTTP server logs.
#include <cstdio>
#include <string>
#include <string_view>

namespace cvsrv {

inline std::string EscapeLogField(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (b < 32 || b == 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace cvsrv
