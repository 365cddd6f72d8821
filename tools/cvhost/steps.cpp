#include "steps.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool IsName(std::string_view t) {
  if (t.empty() || !IsNameStart(t[0])) return false;
  for (char c : t)
    if (!IsNameChar(c)) return false;
  return true;
}

std::vector<std::string> SplitBar(const std::string& t) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t bar = t.find('|', start);
    std::string part = t.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    size_t a = 0, b = part.size();
    while (a < b && std::isspace(static_cast<unsigned char>(part[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(part[b - 1]))) --b;
    parts.push_back(part.substr(a, b - a));
    if (bar == std::string::npos) return parts;
    start = bar + 1;
  }
}

// Names and whole numbers joined by |, at least one of them a name.
bool IsNameExpression(const std::string& t) {
  bool named = false;
  for (const std::string& part : SplitBar(t)) {
    if (IsName(part)) named = true;
    else if (!IsNumber(part)) return false;
  }
  return named;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  }
}

// A quoted string or byte string from its opening quote at i: \\, \", \n, \r, \t, \0
// and \xHH (a byte, or in a string the character U+00HH); any other escaped character
// stands for itself.
bool ParseQuoted(const std::string& s, size_t& i, bool bytes, std::string* out, std::string* error) {
  ++i;
  for (;; ++i) {
    if (i >= s.size()) {
      *error = "unterminated string";
      return false;
    }
    if (s[i] == '"') break;
    if (s[i] != '\\' || i + 1 >= s.size()) {
      *out += s[i];
      continue;
    }
    const char c = s[++i];
    switch (c) {
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      case 't':
        *out += '\t';
        break;
      case '0':
        *out += '\0';
        break;
      case 'x': {
        const int high = i + 2 < s.size() ? HexDigit(s[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(s[i + 2]) : -1;
        if (low < 0) {
          *error = "\\x needs two hexadecimal digits";
          return false;
        }
        i += 2;
        if (bytes) *out += char(high * 16 + low);
        else AppendUtf8(*out, uint32_t(high * 16 + low));
        break;
      }
      default:
        *out += c;
    }
  }
  ++i;
  return true;
}

// One argument up to the next top-level comma or closing bracket.
bool ParseArgument(const std::string& s, size_t& i, char stop, Argument* out, std::string* error) {
  SkipBlanks(s, i);
  *out = Argument{};
  const bool bytes = s.compare(i, 2, "b\"") == 0;
  if (bytes || (i < s.size() && s[i] == '"')) {
    if (bytes) ++i;
    if (!ParseQuoted(s, i, bytes, &out->text, error)) return false;
    out->kind = bytes ? ArgKind::Bytes : ArgKind::String;
    SkipBlanks(s, i);
    return true;
  }
  size_t start = i;
  while (i < s.size() && s[i] != ',' && s[i] != stop) ++i;
  std::string token = s.substr(start, i - start);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.empty()) return true;  // left out
  if (token[0] == '$' && IsName(std::string_view(token).substr(1))) {
    out->kind = ArgKind::Variable;
    token.erase(0, 1);
  } else if (IsNumber(token)) {
    out->kind = ArgKind::Number;
  } else if (IsNameExpression(token)) {
    out->kind = ArgKind::Names;
  } else {
    *error = "not a number, a quoted string, a constant name or a $variable: " + token;
    return false;
  }
  out->text = token;
  return true;
}

// "(arg, ...)" after a name, the opening bracket at i.
bool ParseArguments(const std::string& text, size_t& i, std::vector<Argument>* args, std::string* error) {
  ++i;
  SkipBlanks(text, i);
  if (i < text.size() && text[i] == ')') {
    ++i;
    return true;
  }
  for (;;) {
    Argument a;
    if (!ParseArgument(text, i, ')', &a, error)) return false;
    args->push_back(a);
    if (i < text.size() && text[i] == ',') {
      ++i;
      continue;
    }
    if (i < text.size() && text[i] == ')') {
      ++i;
      return true;
    }
    *error = "missing )";
    return false;
  }
}

std::optional<double> ParseSeconds(const std::string& t) {
  if (!IsNumber(t)) return std::nullopt;
  double v = std::strtod(t.c_str(), nullptr);
  if (!(v >= 0) || v > 1e7) return std::nullopt;
  return v;
}

// A character or byte below 0xA0 that is not printed as itself, as the quoted forms
// above read it back.
std::string Escaped(uint8_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  static const char kHex[] = "0123456789abcdef";
  return std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
}

}  // namespace

std::optional<Step> ParseStep(const std::string& text, std::string* error) {
  Step step;
  size_t i = 0;
  SkipBlanks(text, i);
  // "on Event step": a handler. A member called "on" stays callable: "on(...)" or "on=...".
  if (text.compare(i, 2, "on") == 0 && i + 2 < text.size() && std::isspace(static_cast<unsigned char>(text[i + 2]))) {
    i += 2;
    SkipBlanks(text, i);
    const size_t start = i;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    const std::string event = text.substr(start, i - start);
    auto action = ParseStep(text.substr(i), error);
    if (!action) return std::nullopt;
    if (event.empty() || action->after || action->kind == StepKind::Wait || !action->onEvent.empty()) {
      *error = "on takes an event name and the property or method step to run when it fires";
      return std::nullopt;
    }
    action->onEvent = event;
    return action;
  }
  // "expect Name=value", "expect Name(index)=value", "expect $name=value": a check.
  if (text.compare(i, 6, "expect") == 0 && i + 6 < text.size() &&
      std::isspace(static_cast<unsigned char>(text[i + 6]))) {
    auto check = ParseStep(text.substr(i + 6), error);
    if (!check) return std::nullopt;
    if ((check->kind != StepKind::Put && check->kind != StepKind::Assign) || check->after || !check->onEvent.empty()) {
      *error = "expect takes a property or $variable, = and the value it must have";
      return std::nullopt;
    }
    check->expectVariable = check->kind == StepKind::Assign;
    check->kind = StepKind::Expect;
    return check;
  }
  if (i < text.size() && text[i] == '@') {
    size_t start = ++i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    step.after = ParseSeconds(text.substr(start, i - start));
    if (!step.after) {
      *error = "@ needs a number of seconds before the step";
      return std::nullopt;
    }
    SkipBlanks(text, i);
  }
  if (i < text.size() && text[i] == '$') {
    // "$name=value": a variable of the host's own.
    const size_t start = ++i;
    while (i < text.size() && IsNameChar(text[i])) ++i;
    step.name = text.substr(start, i - start);
    SkipBlanks(text, i);
    Argument value;
    if (!IsName(step.name) || i >= text.size() || text[i] != '=' || !ParseArgument(text, ++i, '\0', &value, error) ||
        value.kind == ArgKind::Missing || i != text.size()) {
      if (error->empty()) *error = "$name=value sets a variable to one value";
      return std::nullopt;
    }
    step.kind = StepKind::Assign;
    step.args.push_back(value);
    return step;
  }
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
  if (i < text.size() && text[i] == '(' && !ParseArguments(text, i, &step.args, error)) return std::nullopt;
  SkipBlanks(text, i);
  if (step.kind != StepKind::Get && i < text.size() && text[i] == '=') {
    step.kind = StepKind::Put;
    ++i;
    Argument value;
    if (!ParseArgument(text, i, '\0', &value, error)) return std::nullopt;
    if (value.kind == ArgKind::Missing || i != text.size()) {
      *error = "a property needs one value";
      return std::nullopt;
    }
    step.args.push_back(value);
    return step;
  }
  if (i != text.size()) {
    *error = "unexpected text after the step";
    return std::nullopt;
  }
  if (step.kind == StepKind::Call && step.name == "wait") {
    step.kind = StepKind::Wait;
    if (step.args.size() > 1 ||
        (step.args.size() == 1 && (step.args[0].kind != ArgKind::Number || !ParseSeconds(step.args[0].text)))) {
      *error = "wait takes a number of seconds, or nothing to wait for a signal";
      return std::nullopt;
    }
    if (step.args.size() == 1) step.seconds = ParseSeconds(step.args[0].text);
    step.args.clear();
  }
  return step;
}

std::optional<VARIANT> ToVariant(const Argument& a, const ConstantLookup& constant, std::string* error) {
  VARIANT v;
  VariantInit(&v);
  switch (a.kind) {
    case ArgKind::Variable:
      return v;
    case ArgKind::Missing:
      v.vt = VT_ERROR;
      v.scode = DISP_E_PARAMNOTFOUND;
      return v;
    case ArgKind::String: {
      std::u16string w = plat::ToUtf16(a.text);
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocStringLen(w.data(), UINT(w.size()));
      return v;
    }
    case ArgKind::Bytes: {
      // An empty byte string is an array not yet allocated: a call that fills it sizes it.
      v.vt = VT_ARRAY | VT_UI1;
      if (a.text.empty()) return v;
      v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(a.text.size()));
      void* data = nullptr;
      if (!v.parray || FAILED(SafeArrayAccessData(v.parray, &data))) {
        VariantClear(&v);
        *error = "out of memory";
        return std::nullopt;
      }
      std::memcpy(data, a.text.data(), a.text.size());
      SafeArrayUnaccessData(v.parray);
      return v;
    }
    case ArgKind::Names: {
      if (a.text == "True" || a.text == "False") {
        v.vt = VT_BOOL;
        v.boolVal = a.text == "True" ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
      }
      int32_t bits = 0;
      for (const std::string& part : SplitBar(a.text)) {
        std::optional<int32_t> value;
        if (IsName(part)) value = constant ? constant(part) : std::nullopt;
        else value = int32_t(std::strtoll(part.c_str(), nullptr, 0));
        if (!value) {
          *error = "unknown constant: " + part;
          return std::nullopt;
        }
        bits |= *value;
      }
      v.vt = VT_I4;
      v.lVal = bits;
      return v;
    }
    case ArgKind::Number: break;
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

std::string EscapeText(std::u16string_view text) {
  std::string out;
  size_t plain = 0;  // start of the run not yet written
  auto flush = [&](size_t end) {
    out += plat::ToUtf8(text.substr(plain, end - plain));
    plain = end + 1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xA0 || (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')) continue;
    flush(i);
    out += Escaped(uint8_t(c));
  }
  flush(text.size());
  return out;
}

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    const auto b = uint8_t(c);
    if (b >= 0x20 && b < 0x7F && c != '\\' && c != '"') out += c;
    else out += Escaped(b);
  }
  return out;
}

std::string Describe(const VARIANT& in) {
  const VARIANT& v = in.vt == (VT_BYREF | VT_VARIANT) && in.pvarVal ? *in.pvarVal : in;
  switch (v.vt) {
    case VT_EMPTY: return "(empty)";
    case VT_NULL: return "(null)";
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_BSTR:
      return "\"" + EscapeText(v.bstrVal ? std::u16string_view(v.bstrVal, SysStringLen(v.bstrVal)) : u"") + "\"";
    case VT_ARRAY | VT_UI1: {
      std::string bytes;
      if (v.parray && SafeArrayGetDim(v.parray) == 1) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(v.parray, 1, &low);
        SafeArrayGetUBound(v.parray, 1, &high);
        void* data = nullptr;
        if (high >= low && SUCCEEDED(SafeArrayAccessData(v.parray, &data))) {
          bytes.assign(static_cast<const char*>(data), size_t(high - low + 1));
          SafeArrayUnaccessData(v.parray);
        }
      }
      return "b\"" + EscapeBytes(bytes) + "\"";
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
    out = EscapeText(std::u16string_view(text.bstrVal, SysStringLen(text.bstrVal)));
  VariantClear(&text);
  return out;
}

bool IsSecret(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("password") != std::string::npos || lower.find("passphrase") != std::string::npos;
}

bool SameValue(const VARIANT& actualIn, const VARIANT& expectedIn) {
  const VARIANT& actual = actualIn.vt == (VT_BYREF | VT_VARIANT) && actualIn.pvarVal ? *actualIn.pvarVal : actualIn;
  const VARIANT& expected =
      expectedIn.vt == (VT_BYREF | VT_VARIANT) && expectedIn.pvarVal ? *expectedIn.pvarVal : expectedIn;
  if (expected.vt & VT_ARRAY) return actual.vt == expected.vt && Describe(actual) == Describe(expected);
  const VARTYPE as = expected.vt == VT_BSTR ? VARTYPE(VT_BSTR) : VARTYPE(VT_R8);
  VARIANT a, e;
  VariantInit(&a);
  VariantInit(&e);
  bool same = SUCCEEDED(VariantChangeType(&a, &actual, 0, as)) && SUCCEEDED(VariantChangeType(&e, &expected, 0, as));
  if (same && as == VT_BSTR)
    same = std::u16string_view(a.bstrVal ? a.bstrVal : u"", SysStringLen(a.bstrVal)) ==
           std::u16string_view(e.bstrVal ? e.bstrVal : u"", SysStringLen(e.bstrVal));
  else if (same) same = a.dblVal == e.dblVal;
  VariantClear(&a);
  VariantClear(&e);
  return same;
}

}  // namespace cvhost
