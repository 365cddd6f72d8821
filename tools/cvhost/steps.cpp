#include "steps.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>

#include "platform/base/utf.h"

namespace cvhost {
namespace {

void SkipBlanks(const std::string& s, size_t& i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
}

bool IsNumber(const std::string& t) {
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  std::strtod(t.c_str(), &end);
  return end && *end == '\0' && !std::isspace(static_cast<unsigned char>(t[0]));
}

// One argument up to the next top-level comma or closing bracket.
bool ParseArgument(const std::string& s, size_t& i, char stop, Argument* out, std::string* error) {
  SkipBlanks(s, i);
  *out = Argument{};
  if (i < s.size() && s[i] == '"') {
    ++i;
    std::string text;
    for (;; ++i) {
      if (i >= s.size()) {
        *error = "unterminated string";
        return false;
      }
      if (s[i] == '"') break;
      if (s[i] == '\\' && i + 1 < s.size()) ++i;
      text += s[i];
    }
    ++i;
    out->missing = false;
    out->isString = true;
    out->text = std::move(text);
    SkipBlanks(s, i);
    return true;
  }
  size_t start = i;
  while (i < s.size() && s[i] != ',' && s[i] != stop) ++i;
  std::string token = s.substr(start, i - start);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.empty()) return true;  // left out
  if (!IsNumber(token)) {
    *error = "not a number or a quoted string: " + token;
    return false;
  }
  out->missing = false;
  out->text = token;
  return true;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

}  // namespace

std::optional<Step> ParseStep(const std::string& text, std::string* error) {
  Step step;
  size_t i = 0;
  SkipBlanks(text, i);
  if (i < text.size() && text[i] == '?') {
    step.kind = StepKind::Get;
    ++i;
  }
  size_t start = i;
  while (i < text.size() && IsNameChar(text[i])) ++i;
  step.name = text.substr(start, i - start);
  if (step.name.empty()) {
    *error = "a step starts with a member name";
    return std::nullopt;
  }
  SkipBlanks(text, i);
  if (step.kind != StepKind::Get && i < text.size() && text[i] == '=') {
    step.kind = StepKind::Put;
    ++i;
    Argument value;
    if (!ParseArgument(text, i, '\0', &value, error)) return std::nullopt;
    if (value.missing || i != text.size()) {
      *error = "a property needs one value";
      return std::nullopt;
    }
    step.args.push_back(value);
    return step;
  }
  if (i < text.size() && text[i] == '(') {
    ++i;
    SkipBlanks(text, i);
    if (i < text.size() && text[i] == ')') {
      ++i;
    } else {
      for (;;) {
        Argument a;
        if (!ParseArgument(text, i, ')', &a, error)) return std::nullopt;
        step.args.push_back(a);
        if (i < text.size() && text[i] == ',') {
          ++i;
          continue;
        }
        if (i < text.size() && text[i] == ')') {
          ++i;
          break;
        }
        *error = "missing )";
        return std::nullopt;
      }
    }
  }
  SkipBlanks(text, i);
  if (i != text.size()) {
    *error = "unexpected text after the step";
    return std::nullopt;
  }
  return step;
}

VARIANT ToVariant(const Argument& a) {
  VARIANT v;
  VariantInit(&v);
  if (a.missing) {
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
  }
  if (a.isString) {
    std::u16string w = plat::ToUtf16(a.text);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
    return v;
  }
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(a.text.c_str(), &end, 10);
  if (*end == '\0' && errno == 0 && n >= INT32_MIN && n <= INT32_MAX) {
    v.vt = VT_I4;
    v.lVal = int32_t(n);
  } else {
    v.vt = VT_R8;
    v.dblVal = std::strtod(a.text.c_str(), nullptr);
  }
  return v;
}

std::string Describe(const VARIANT& in) {
  const VARIANT& v = in.vt == (VT_BYREF | VT_VARIANT) && in.pvarVal ? *in.pvarVal : in;
  switch (v.vt) {
    case VT_EMPTY: return "(empty)";
    case VT_NULL: return "(null)";
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_BSTR: {
      std::string s = v.bstrVal ? plat::ToUtf8(std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal))) : "";
      return "\"" + s + "\"";
    }
    case VT_ERROR:
      if (v.scode == DISP_E_PARAMNOTFOUND) return "(missing)";
      break;
    default: break;
  }
  VARIANT text;
  VariantInit(&text);
  std::string out = "(unprintable)";
  if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR)) && text.bstrVal)
    out = plat::ToUtf8(std::u16string_view(text.bstrVal, SysStringLen(text.bstrVal)));
  VariantClear(&text);
  return out;
}

}  // namespace cvhost
