#include "ftp/ftp_line_ends.h"

#include <cstring>

namespace cvftp {

size_t CollapseLineEnds(char* text, size_t from, size_t end) noexcept {
  size_t w = from;
  for (size_t i = from; i < end; ++i) {
    const char c = text[i];
    // The last byte written is always the last byte read, or the LF of a pair already
    // collapsed: a CR there came directly before this LF.
    if (c == '\n' && w > 0 && text[w - 1] == '\r')
      text[w - 1] = '\n';
    else
      text[w++] = c;
  }
  return w;
}

size_t ExpandLineEnds(char* text, size_t n) noexcept {
  size_t lines = 0;
  for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', n - size_t(p - text)))); ++p) ++lines;
  size_t w = n + lines;
  // From the back; once every LF has been passed the rest stays where it is.
  for (size_t i = n; i > 0 && w > i;) {
    const char c = text[--i];
    text[--w] = c;
    if (c == '\n') text[--w] = '\r';
  }
  return n + lines;
}

size_t ReceivedText::Take(char* block, size_t n, bool last, const char** out) noexcept {
  char* text = block + 1;
  size_t from = 0;
  if (heldCr_) {
    text = block;
    text[0] = '\r';
    from = 1;
  }
  const size_t in = from + n;
  size_t length = CollapseLineEnds(text, from, in);
  removed_ += in - length;
  heldCr_ = !last && length > 0 && text[length - 1] == '\r';
  if (heldCr_) --length;
  *out = text;
  return length;
}

}  // namespace cvftp
