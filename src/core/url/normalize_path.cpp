#include <cstring>

#include "core/url/url.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Start of the segment that ends just before position `end` (the position of its
// leading separator, or 0 when the segment starts the text).
size_t SegmentStart(const char* text, size_t end) {
  size_t p = end;
  while (p > 0 && !IsSeparator(text[p - 1])) --p;
  return p > 0 ? p - 1 : 0;
}

}  // namespace

// One left-to-right scan; a run of k dots before a separator removes itself and the k-1
// segments before it, never past the start of the text. A trailing run stays in place.
char* HttpNormalizePath(char* text) {
  if (text == nullptr || *text == '\0') return text;
  size_t len = std::strlen(text);
  size_t dots = 0;
  size_t i = 0;
  while (i < len) {
    char c = text[i];
    if (c == '.') {
      ++dots;
      ++i;
      continue;
    }
    if (!IsSeparator(c) || dots == 0) {
      dots = 0;
      ++i;
      continue;
    }
    // Remove the run with the separator before it: move [i, len] to that separator.
    size_t to = SegmentStart(text, i);
    for (size_t k = 1; k < dots && to > 0; ++k) to = SegmentStart(text, to);
    std::memmove(text + to, text + i, len - i + 1);
    len -= i - to;
    i = to + 1;
    dots = 0;
  }
  return text;
}
