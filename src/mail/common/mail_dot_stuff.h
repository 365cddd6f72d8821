#pragma once
// Message text as it goes over a line protocol that ends its data with a "." line (SMTP
// DATA, POP3 XTND XMIT): every line end becomes CR LF and a line that starts with "." gets
// a second one, so no line of the text can end the data early and let the lines after it
// run as commands. The state carries over between pieces of one text.
#include <cstdint>

namespace cvmail {

class DotStuffer {
 public:
  // An output byte count that one input byte can never exceed (CR before it, doubled ".").
  static constexpr uint32_t kMaxExpansion = 3;

  // The start of a new text: its first line is at a line start.
  void Begin() noexcept { previous_ = '\n'; }

  // Converts input bytes into out until the input ends or out has fewer than kMaxExpansion
  // bytes of room left. consumed receives the input bytes taken; the result is the output
  // length.
  uint32_t Convert(const char* data, uint32_t length, char* out, uint32_t room, uint32_t& consumed) noexcept {
    uint32_t used = 0;
    consumed = 0;
    char previous = previous_;
    while (consumed < length && used + kMaxExpansion <= room) {
      const char c = data[consumed++];
      if (c == '\n') {
        if (previous != '\r') out[used++] = '\r';
        out[used++] = '\n';
        previous = '\n';
      } else if (c == '\r') {
        if (previous == '\r') out[used++] = '\n';  // a lone CR ends its line
        out[used++] = '\r';
        previous = '\r';
      } else {
        if (previous == '\r') {
          out[used++] = '\n';
          previous = '\n';
        }
        if (previous == '\n' && c == '.') out[used++] = '.';
        out[used++] = c;
        previous = 0;
      }
    }
    previous_ = previous;
    return used;
  }

  // The end of the data: the "." line, after the text's own last line end (no empty line
  // is added to the message).
  const char* EndMarker() const noexcept {
    return previous_ == '\n' ? ".\r\n" : previous_ == '\r' ? "\n.\r\n" : "\r\n.\r\n";
  }

 private:
  char previous_ = '\n';
};

}  // namespace cvmail
