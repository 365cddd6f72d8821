// Every pattern element consumes exactly one character, so the length a segment between
// stars takes in the text is known: the first segment is anchored at the start, the
// middle ones are placed at their first fitting position, the last at the end.
#include "ssh/util/wildcard.h"

#include <cstring>

namespace {

constexpr int kEndsInBackslash = -1;
constexpr int kUnterminatedClass = -2;
constexpr int kMissingRangeEnd = -3;

// Matches one element at *p against character c; advances *p past the element.
// Returns 1 match, 0 mismatch or a negative syntax error.
int MatchElement(const char** p, char c) {
  const char* s = *p;
  if (*s == '?') {
    *p = s + 1;
    return 1;
  }
  if (*s == '\\') {
    if (s[1] == '\0') return kEndsInBackslash;
    *p = s + 2;
    return s[1] == c;
  }
  if (*s != '[') {
    *p = s + 1;
    return *s == c;
  }
  ++s;
  bool negate = false;
  if (*s == '^') {
    negate = true;
    ++s;
  }
  bool found = false;
  while (*s != ']') {
    if (*s == '\0') return kUnterminatedClass;
    char lo = *s++;
    if (lo == '\\') {
      if (*s == '\0') return kUnterminatedClass;
      lo = *s++;
    }
    char hi = lo;
    if (*s == '-') {
      ++s;
      if (*s == ']') return kMissingRangeEnd;
      if (*s == '\0') return kUnterminatedClass;
      hi = *s++;
      if (hi == '\\') {
        if (*s == '\0') return kUnterminatedClass;
        hi = *s++;
      }
    }
    const unsigned char a = static_cast<unsigned char>(lo < hi ? lo : hi);
    const unsigned char b = static_cast<unsigned char>(lo < hi ? hi : lo);
    const unsigned char uc = static_cast<unsigned char>(c);
    if (uc >= a && uc <= b) found = true;
  }
  *p = s + 1;
  return found != negate;
}

// Does the segment [p, end) match exactly at text? 1, 0 or a syntax error.
int MatchSegmentAt(const char* p, const char* end, const char* text) {
  while (p < end) {
    if (*text == '\0') return 0;
    const int r = MatchElement(&p, *text++);
    if (r <= 0) return r;
  }
  return 1;
}

// End of the segment starting at p (the next "*" that is not escaped or inside a class,
// or the terminator) and the number of characters it consumes; a syntax error met when
// matching reaches the segment is reported through the length.
const char* SegmentEnd(const char* p, int* length) {
  int n = 0;
  while (*p != '\0' && *p != '*') {
    const char* before = p;
    const int r = MatchElement(&p, 'x');  // only to step over one element
    if (r < 0) {
      *length = r;
      return before;
    }
    ++n;
  }
  *length = n;
  return p;
}

}  // namespace

int WildcardMatch(const char* pattern, const char* text) {
  const char* p = pattern;
  int len = 0;
  const char* end = SegmentEnd(p, &len);
  if (len < 0) return len;
  const size_t textLen = std::strlen(text);
  if (*end == '\0') {  // no star: the whole text
    if (textLen != size_t(len)) return 0;
    return MatchSegmentAt(p, end, text);
  }
  if (textLen < size_t(len)) return 0;
  if (const int r = MatchSegmentAt(p, end, text); r <= 0) return r;
  text += len;
  p = end;
  for (;;) {
    while (*p == '*') ++p;
    if (*p == '\0') return 1;  // a trailing star takes the rest
    end = SegmentEnd(p, &len);
    if (len < 0) return len;
    const size_t rest = std::strlen(text);
    if (rest < size_t(len)) return 0;
    if (*end == '\0') return MatchSegmentAt(p, end, text + rest - size_t(len));  // anchored at the end
    const char* t = text;
    for (;; ++t) {
      if (size_t(t - text) + size_t(len) > rest) return 0;
      const int r = MatchSegmentAt(p, end, t);
      if (r < 0) return r;
      if (r == 1) break;
    }
    text = t + len;
    p = end;
  }
}

int WildcardToLiteral(char* output, const char* pattern) {
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (*p == '\\' && p[1] != '\0') {
      ++p;
      continue;
    }
    if (*p == '*' || *p == '?' || *p == '[' || *p == ']') return 0;
  }
  if (output) {
    char* o = output;
    for (const char* p = pattern; *p != '\0'; ++p) {
      if (*p == '\\' && p[1] != '\0') ++p;
      *o++ = *p;
    }
    *o = '\0';
  }
  return 1;
}
