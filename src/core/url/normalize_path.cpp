#include <cstring>
#include <string>

#include "core/url/url.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// True when text[at..] starts with the whole segment `dots` ("." or ".."): the dots are
// followed by a separator or the end of the text.
bool WholeSegment(const std::string& text, size_t at, size_t dots) {
  if (text.size() - at < dots) return false;
  for (size_t k = 0; k < dots; ++k)
    if (text[at + k] != '.') return false;
  return at + dots == text.size() || IsSeparator(text[at + dots]);
}

// Drops the last segment of out together with the separator before it.
void DropLastSegment(std::string& out) {
  size_t p = out.size();
  while (p > 0 && !IsSeparator(out[p - 1])) --p;
  out.resize(p > 0 ? p - 1 : 0);
}

}  // namespace

// Removes whole "." and ".." segments the way relative references are resolved: a name
// that merely contains or ends in dots ("v1..", "...") is an ordinary name. ".." never
// climbs above the start of the text. Both "/" and "\" separate segments and each keeps
// its own character. The result is never longer than the text, so it is written back.
char* HttpNormalizePath(char* text) {
  if (text == nullptr || *text == '\0') return text;
  std::string in(text), out;
  size_t i = 0;
  while (i < in.size()) {
    if (WholeSegment(in, i, 2) && i + 2 < in.size()) {  // "../" at the start of what is left
      i += 3;
    } else if (WholeSegment(in, i, 1) && i + 1 < in.size()) {  // "./"
      i += 2;
    } else if (IsSeparator(in[i]) && WholeSegment(in, i + 1, 1)) {  // "/." or "/./"
      if (i + 2 == in.size()) {
        out += in[i];
        i += 2;
      } else {
        i += 2;  // the next separator starts what is left
      }
    } else if (IsSeparator(in[i]) && WholeSegment(in, i + 1, 2)) {  // "/.." or "/../"
      DropLastSegment(out);
      if (i + 3 == in.size()) {
        out += in[i];
        i += 3;
      } else {
        i += 3;
      }
    } else if (WholeSegment(in, i, 2) || WholeSegment(in, i, 1)) {
      // A lone "." or ".." is all that is left (the earlier cases took every one followed
      // by a separator).
      i = in.size();
    } else {
      // One segment: its leading separator, if any, and everything up to the next one.
      size_t end = i + (IsSeparator(in[i]) ? 1 : 0);
      while (end < in.size() && !IsSeparator(in[end])) ++end;
      out.append(in, i, end - i);
      i = end;
    }
  }
  std::memcpy(text, out.c_str(), out.size() + 1);
  return text;
}
