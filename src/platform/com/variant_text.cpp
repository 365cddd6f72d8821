#include "platform/com/variant_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/base/time.h"
#include "platform/com/com_types.h"

namespace plat::com {
namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// ASCII copy of the text; false when it holds anything else (no number or date does).
bool Ascii(std::u16string_view s, std::string& out) {
  out.clear();
  for (char16_t c : s) {
    if (c > 0x7E) return false;
    out += char(c);
  }
  return true;
}

}  // namespace

std::u16string Trimmed(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return std::u16string(s);
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool ParseNumber(std::u16string_view text, ParsedNumber& out) {
  std::string s;
  if (!Ascii(Trimmed(text), s) || s.empty()) return false;
  if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h')) {
    std::string_view digits(s.data() + 2, s.size() - 2);
    if (digits.size() > 16) return false;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
    if (ec != std::errc() || p != digits.data() + digits.size()) return false;
    if (digits.size() <= 4) out.i = int16_t(uint16_t(v));
    else if (digits.size() <= 8) out.i = int32_t(uint32_t(v));
    else out.i = int64_t(v);
    return true;
  }
  // Validate the plain decimal shape before handing it to from_chars.
  size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  size_t intDigits = 0, fracDigits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++intDigits;
  bool real = false;
  if (i < s.size() && s[i] == '.') {
    real = true;
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    real = true;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++expDigits;
    if (!expDigits) return false;
  }
  if (i != s.size()) return false;
  const char* begin = s.data() + (s[0] == '+' ? 1 : 0);
  const char* end = s.data() + s.size();
  if (!real) {
    auto [p, ec] = std::from_chars(begin, end, out.i);
    if (ec == std::errc() && p == end) return true;
    // Beyond 64 bits: carried as a double, so that the range check reports the overflow.
  }
  auto [p, ec] = std::from_chars(begin, end, out.d);
  if (p != end || (ec != std::errc() && ec != std::errc::result_out_of_range)) return false;
  if (ec == std::errc::result_out_of_range) out.d = std::copysign(HUGE_VAL, s[0] == '-' ? -1.0 : 1.0);
  out.isReal = true;
  return true;
}

std::string FormatReal(double d, int digits) {
  if (d == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, d);
  return buf;
}

bool DateInRange(double d) { return std::isfinite(d) && d >= -657434.0 && d < 2958466.0; }

std::optional<std::string> FormatDate(DATE d) {
  SYSTEMTIME st{};
  if (!DateInRange(d) || !plat::VariantTimeToSystemTime(d, &st)) return std::nullopt;
  char buf[64];
  int hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
  const char* ampm = st.wHour < 12 ? "AM" : "PM";
  bool dateOnly = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
  if (std::trunc(d) == 0 && (!dateOnly || d == 0)) {
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", hour12, st.wMinute, st.wSecond, ampm);
  } else if (dateOnly) {
    std::snprintf(buf, sizeof buf, "%d/%d/%d", st.wMonth, st.wDay, st.wYear);
  } else {
    std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", st.wMonth, st.wDay, st.wYear, hour12, st.wMinute,
                  st.wSecond, ampm);
  }
  return std::string(buf);
}

namespace {

// A small cursor over the ASCII text of a date.
struct Cursor {
  std::string_view s;
  size_t pos = 0;
  bool Number(int& v, size_t minDigits, size_t maxDigits) {
    size_t start = pos;
    v = 0;
    while (pos < s.size() && pos - start < maxDigits && std::isdigit(static_cast<unsigned char>(s[pos])))
      v = v * 10 + (s[pos++] - '0');
    return pos - start >= minDigits;
  }
  bool Take(char c) {
    if (pos < s.size() && s[pos] == c) return ++pos, true;
    return false;
  }
  void Blanks() {
    while (pos < s.size() && s[pos] == ' ') ++pos;
  }
  bool AtEnd() const { return pos == s.size(); }
};

// "h:mm[:ss][ AM|PM]" at the cursor.
bool ParseTime(Cursor& c, SYSTEMTIME& st) {
  int h, m, sec = 0;
  if (!c.Number(h, 1, 2) || !c.Take(':') || !c.Number(m, 2, 2)) return false;
  if (c.Take(':') && !c.Number(sec, 2, 2)) return false;
  c.Blanks();
  std::string rest(c.s.substr(c.pos));
  for (char& ch : rest) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  if (rest == "AM" || rest == "PM") {
    if (h < 1 || h > 12) return false;
    h = h % 12 + (rest == "PM" ? 12 : 0);
    c.pos = c.s.size();
  }
  if (h > 23 || m > 59 || sec > 59) return false;
  st.wHour = WORD(h);
  st.wMinute = WORD(m);
  st.wSecond = WORD(sec);
  return true;
}

}  // namespace

HRESULT ParseDate(std::u16string_view text, DATE* out) {
  std::string s;
  if (!Ascii(Trimmed(text), s) || s.empty()) return DISP_E_TYPEMISMATCH;
  Cursor c{s};
  SYSTEMTIME st{};
  st.wYear = 1899;
  st.wMonth = 12;
  st.wDay = 30;
  int a, b, y;
  bool ok = false;
  if (s.size() >= 10 && s[4] == '-') {  // ISO 8601: YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z]
    ok = c.Number(y, 4, 4) && c.Take('-') && c.Number(a, 2, 2) && c.Take('-') && c.Number(b, 2, 2);
    if (ok) {
      st.wYear = WORD(y), st.wMonth = WORD(a), st.wDay = WORD(b);
      if (c.Take('T') || c.Take(' ')) {
        int h, m, sec = 0, frac;
        ok = c.Number(h, 2, 2) && c.Take(':') && c.Number(m, 2, 2);
        if (ok && c.Take(':')) ok = c.Number(sec, 2, 2) && (!c.Take('.') || c.Number(frac, 1, 9));
        c.Take('Z');
        ok = ok && c.AtEnd() && h < 24 && m < 60 && sec < 60;
        st.wHour = WORD(h), st.wMinute = WORD(m), st.wSecond = WORD(sec);
      }
      ok = ok && c.AtEnd();
    }
  } else if (s.find('/') != std::string::npos) {  // M/D/YYYY[ time]
    ok = c.Number(a, 1, 2) && c.Take('/') && c.Number(b, 1, 2) && c.Take('/') && c.Number(y, 4, 4);
    if (ok) {
      st.wYear = WORD(y), st.wMonth = WORD(a), st.wDay = WORD(b);
      c.Blanks();
      if (!c.AtEnd()) ok = ParseTime(c, st);
      ok = ok && c.AtEnd();
    }
  } else {
    ok = ParseTime(c, st) && c.AtEnd();
  }
  if (!ok || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wDay > 31) return DISP_E_TYPEMISMATCH;
  DATE d;
  if (!plat::SystemTimeToVariantTime(&st, &d)) return DISP_E_TYPEMISMATCH;
  *out = d;
  return S_OK;
}

}  // namespace plat::com
