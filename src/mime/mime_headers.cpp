// Header lists of parts: set (with the special handling of the MIME headers), read, delete,
// iterate, and the Date header.
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "mime/mime_internal.h"

namespace cvmime {

namespace {

constexpr size_t kParameterLimit = 1024;
constexpr size_t kCharsetLimit = 64;

// A boundary parameter: part 0 owns level 0; a nested multipart opens the level below the
// one that delimits it (a later nested multipart beside a closed one reuses that level).
void ApplyBoundary(MimeMessage& m, MimePart& part, const std::string& boundary) {
  if (boundary.empty()) return;
  if (!m.parts.empty() && m.parts[0].get() == &part) {
    m.boundaries[0] = part.boundary = boundary;
    return;
  }
  if (part.container) {
    m.boundaries[size_t(part.level)] = part.boundary = boundary;
    return;
  }
  const int32_t level = part.level + 1;
  if (level > kMimeMaxLevel) return;  // too deep: the part stays a leaf
  part.level = level;
  part.container = true;
  m.boundaries[size_t(level)] = part.boundary = boundary;
  m.currentLevel = level;
  if (level > m.highestLevel) m.highestLevel = level;
}

void SpecialHeader(MimeMessage& m, MimePart& part, std::string_view name, const std::string& value) {
  std::string parameter;
  if (IEquals(name, "Content-Type")) {
    part.mediaType = MimeMediaTypeId(value.c_str());
    if (part.mediaType == kMimeMediaMultipart) {
      if (GetParameter(value, "boundary", parameter, kParameterLimit)) ApplyBoundary(m, part, parameter);
    } else if (part.mediaType == kMimeMediaText) {
      part.charset = GetParameter(value, "charset", parameter, kCharsetLimit) ? MimeCharsetId(parameter.c_str())
                                                                               : kMimeCharsetUtf8;
    }
    if (GetParameter(value, "name", parameter, kParameterLimit)) part.attachment = true;
  } else if (IEquals(name, "Content-Transfer-Encoding")) {
    part.encoding = MimeEncodingId(value.c_str());
  } else if (IEquals(name, "Content-Disposition")) {
    if (IStartsWith(value, "attachment") && GetParameter(value, "filename", parameter, kParameterLimit))
      part.attachment = true;
  } else if (IEquals(name, "X-Attachments") || IEquals(name, "X-MS-Attachment")) {
    part.attachment = true;
  }
}

bool NeedsEncoding(std::string_view value) noexcept {
  for (unsigned char c : value)
    if ((c < 32 && c != '\t') || c >= 128) return true;
  return false;
}

bool DeleteHeaderOn(MimePart& part, std::string_view name) {
  MimeHeader* h = FindHeader(part, name);
  if (!h) return false;
  part.index.Emptying(*h);
  std::string().swap(h->name);
  std::string().swap(h->stored);
  h->display.reset();
  return true;
}

}  // namespace

MimeHeader* FindHeader(MimePart& part, std::string_view name) noexcept { return part.index.First(name); }

const std::string& DisplayValue(MimeHeader& header) {
  if (!header.display) {
    if (header.stored.empty()) return header.stored;
    header.display = DecodeHeaderValue(header.stored, IsTextHeaderName(header.name));
  }
  return *header.display;
}

bool GetHeaderValue(MimePart& part, std::string_view name, std::string& out) {
  MimeHeader* h = FindHeader(part, name);
  if (!h) return false;
  out = DisplayValue(*h);
  return true;
}

bool IsSingleHeader(std::string_view name) noexcept {
  // A message has at most one of each of these; a later line replaces the value.
  static constexpr std::string_view kSingle[] = {
      "Date",         "From",           "Sender",       "Reply-To",          "Subject",
      "Message-ID",   "In-Reply-To",    "References",   "MIME-Version",      "Content-Type",
      "Content-Transfer-Encoding",      "Content-Disposition", "Content-ID", "Content-Description",
      "Content-Length", "Content-MD5",
  };
  for (const std::string_view n : kSingle)
    if (IEquals(n, name)) return true;
  return false;
}

Status SetPartHeaderValue(MimeMessage& m, MimePart& part, std::string_view rawName, std::string_view rawValue,
                          HeaderPlace place, MimeHeader* target) {
  const std::string name = NormalizeHeaderName(rawName);
  if (name.empty()) return Status(cvErrorInvalidMessageHeader);
  std::string value = NormalizeSpace(rawValue);
  if (value.empty()) {
    DeleteHeaderOn(part, name);  // deleting a header that is not there is no failure
    return Status();
  }
  SpecialHeader(m, part, name, value);

  // Over the first of its name, else in the first emptied node, else at the end.
  MimeHeader* node = nullptr;
  if (place == HeaderPlace::Node && target) node = target;
  else if (place == HeaderPlace::First && (node = FindHeader(part, name)) == nullptr) node = part.index.TakeEmptied();
  if (!node) {
    node = &part.headers.emplace_back();
    node->place = part.index.NextPlace();
  }
  const std::string old = std::exchange(node->name, name);
  part.index.Named(*node, old);
  node->display.reset();
  std::string encoded;
  // Content-Type holds only tokens and quoted parameters, where encoded words have no place;
  // its boundary in particular must stay byte for byte what the delimiter lines carry.
  const bool encodable = !IEquals(name, "Content-Type");
  if (encodable && NeedsEncoding(value) && EncodeHeaderValue(value, m.defaultCharset, m.defaultEncoding, encoded)) {
    node->stored = std::move(encoded);
    node->display = std::move(value);
  } else {
    node->stored = std::move(value);
    if (NeedsEncoding(node->stored)) node->display = node->stored;  // raw bytes are shown as they are
  }
  m.lastHeader = node;
  m.lastHeaderPart = &part;
  return Status();
}

namespace {

// The segments of a header value: the text between ";" outside double quotes.
template <typename Fn>
void ForEachSegment(std::string_view value, Fn&& fn) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = start;
    bool quoted = false;
    while (end < value.size() && (quoted || value[end] != ';')) {
      if (value[end] == '"') quoted = !quoted;
      ++end;
    }
    if (!fn(value.substr(start, end - start))) return;
    start = end + 1;
  }
}

// A parameter value without its white space and quotes.
std::string_view Unquote(std::string_view raw) {
  std::string_view v = Trim(raw);
  if (!v.empty() && v.front() == '"') {
    v.remove_prefix(1);
    const size_t close = v.rfind('"');
    if (close != std::string_view::npos) v = v.substr(0, close);
    v = Trim(v);
  }
  return v;
}

void PercentDecode(std::string_view text, std::string& out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const int hi = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(text[i + 2]) : -1;
    if (lo >= 0) {
      out.push_back(char(hi << 4 | lo));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
}

// The RFC 2231 forms of a parameter: name*=charset'language'percent-encoded text, or the
// continuations name*0, name*1... (each with a trailing "*" when percent-encoded; the first
// encoded one names the charset). The value converted to UTF-8; false when absent.
bool GetExtendedParameter(std::string_view value, std::string_view name, std::string& out) {
  struct Piece {
    bool encoded;
    std::string_view text;
  };
  std::vector<std::optional<Piece>> pieces;
  std::optional<Piece> single;
  ForEachSegment(value, [&](std::string_view segment) {
    const size_t eq = segment.find('=');
    if (eq == std::string_view::npos) return true;
    const std::string_view key = Trim(segment.substr(0, eq));
    if (key.size() <= name.size() || key[name.size()] != '*' || !IEquals(key.substr(0, name.size()), name))
      return true;
    std::string_view rest = key.substr(name.size() + 1);
    const std::string_view text = Unquote(segment.substr(eq + 1));
    if (rest.empty()) {
      single = Piece{true, text};
      return true;
    }
    const bool encoded = rest.back() == '*';
    if (encoded) rest.remove_suffix(1);
    size_t index = 0;
    if (rest.empty() || rest.size() > 3) return true;
    for (const char c : rest) {
      if (c < '0' || c > '9') return true;
      index = index * 10 + size_t(c - '0');
    }
    if (pieces.size() <= index) pieces.resize(index + 1);
    pieces[index] = Piece{encoded, text};
    return true;
  });
  if (!single && (pieces.empty() || !pieces[0])) return false;
  if (single) pieces = {single};
  std::string charset;
  std::string bytes;
  for (size_t i = 0; i < pieces.size() && pieces[i]; ++i) {  // continuations end at a gap
    std::string_view text = pieces[i]->text;
    if (!pieces[i]->encoded) {
      bytes.append(text);
      continue;
    }
    if (i == 0) {
      // charset'language' before the text (either may be empty)
      const size_t q1 = text.find('\'');
      const size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
      if (q2 != std::string_view::npos) {
        charset.assign(text.substr(0, q1));
        text.remove_prefix(q2 + 1);
      }
    }
    PercentDecode(text, bytes);
  }
  ToUtf8(charset, bytes);  // bytes stay as they are in an unknown charset
  out = std::move(bytes);
  return true;
}

}  // namespace

bool GetParameter(std::string_view value, std::string_view name, std::string& out, size_t limit) {
  // The RFC 2231 form carries the full name (non-ASCII, or too long for one line); mail
  // clients send a plain fallback beside it.
  std::string extended;
  if (GetExtendedParameter(value, name, extended) && extended.size() < limit) {
    out = std::move(extended);
    return true;
  }
  bool found = false;
  ForEachSegment(value, [&](std::string_view segment) {
    const size_t eq = segment.find('=');
    if (eq != std::string_view::npos && IEquals(Trim(segment.substr(0, eq)), name)) {
      const std::string_view raw = segment.substr(eq + 1);
      if (raw.size() < limit) {
        out.assign(Unquote(raw));
        found = true;
        return false;
      }
    }
    return true;
  });
  return found;
}

}  // namespace cvmime

using namespace cvmime;

int32_t MimeGetParameter(const char* value, const char* name, char* buffer, int32_t size) {
  if (!value || !name || !buffer || size < 1) return 0;
  std::string out;
  const Result<bool> found =
      cvcore::OrOutOfMemory([&]() -> Result<bool> { return GetParameter(value, name, out, size_t(size)); }, Failed);
  if (!found.ok()) return Library().Finish(found.status(), 1, 0);
  if (!found.value()) return 0;
  CopyOut(out, buffer, size);
  return 1;
}

namespace {

// Stores a header on the part at index (the current part when index is negative).
int32_t SetHeaderAt(LibHandle handle, int32_t index, const char* name, const char* value) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!name || !*name) return Library().Finish(Status(cvErrorInvalidMessageHeader), 1, 0);
  const Result<MimePart*> part = index < 0 ? CurrentPart(*m) : PartAt(*m, index);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  const Status stored =
      cvcore::OrOutOfMemory([&] { return SetPartHeaderValue(*m, *part.value(), name, value ? value : ""); }, Failed);
  return Library().Finish(stored, 1, 0);
}

}  // namespace

int32_t MimeSetHeader(LibHandle handle, const char* name, const char* value) {
  return SetHeaderAt(handle, -1, name, value);
}

int32_t MimeSetPartHeader(LibHandle handle, int32_t index, const char* name, const char* value) {
  return SetHeaderAt(handle, index, name, value);
}

const char* MimeGetHeader(LibHandle handle, const char* name) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return nullptr;
  const std::string wanted = name ? NormalizeHeaderName(name) : std::string();
  if (wanted.empty()) return Library().Finish<const char*>(Status(cvErrorInvalidMessageHeader), nullptr, nullptr);
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish<const char*>(part.status(), nullptr, nullptr);
  MimeHeader* h = FindHeader(*part.value(), wanted);
  if (!h) return Library().Finish<const char*>(Status(cvErrorInvalidMessageHeader), nullptr, nullptr);
  const Result<const char*> value =
      cvcore::OrOutOfMemory([&]() -> Result<const char*> { return DisplayValue(*h).c_str(); }, Failed);
  return Library().Finish(value, nullptr);
}

namespace {

// The value of a part's header (the first of its name, or all of them joined) copied out as
// MimeGetPartHeader says; a header that is not there is 0 with its error.
Result<int32_t> CopyPartHeader(MimePart& part, const char* name, char* buffer, int32_t size, bool all) {
  const std::string wanted = NormalizeHeaderName(name);
  MimeHeader* h = FindHeader(part, wanted);
  if (!h) return Status(cvErrorInvalidMessageHeader);
  std::string joined;
  if (all) {
    for (MimeHeader* each : part.index.All(wanted)) {
      if (!joined.empty()) joined += ", ";
      joined += DisplayValue(*each);
    }
  }
  const std::string& value = all ? joined : DisplayValue(*h);
  if (buffer && size > 0) return CopyOut(value, buffer, size);
  return int32_t(value.size());
}

int32_t GetPartHeader(LibHandle handle, int32_t index, const char* name, char* buffer, int32_t size, bool all) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  if (!name || size < 0) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  const Result<MimePart*> part = index < 0 ? CurrentPart(*m) : PartAt(*m, index);
  if (!part.ok()) return Library().Finish(part.status(), 0, -1);
  const Result<int32_t> copied =
      cvcore::OrOutOfMemory([&] { return CopyPartHeader(*part.value(), name, buffer, size, all); }, Failed);
  const bool missing = copied.error() == Status(cvErrorInvalidMessageHeader).error();
  return Library().Finish(copied, missing ? 0 : -1);
}

}  // namespace

int32_t MimeGetPartHeader(LibHandle handle, int32_t index, const char* name, char* buffer, int32_t size) {
  return GetPartHeader(handle, index, name, buffer, size, false);
}

int32_t MimeGetPartHeaderList(LibHandle handle, int32_t index, const char* name, char* buffer, int32_t size) {
  return GetPartHeader(handle, index, name, buffer, size, true);
}

int32_t MimeDeleteHeader(LibHandle handle, const char* name) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part = CurrentPart(*m);
  if (!part.ok()) return Library().Finish(part.status(), 1, 0);
  const Status deleted = cvcore::OrOutOfMemory(
      [&] { return name && DeleteHeaderOn(*part.value(), name) ? Status() : Status(cvErrorInvalidMessageHeader); },
      Failed);
  return Library().Finish(deleted, 1, 0);
}

namespace {

int32_t NextHeader(LibHandle handle, char* name, char* value, bool first) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!name) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  const Result<MimePart*> found = CurrentPart(*m);
  if (!found.ok()) return Library().Finish(found.status(), 1, 0);
  MimePart* part = found.value();
  if (first) part->cursorSet = false;
  auto it = part->cursorSet ? std::next(part->cursor) : part->headers.begin();
  while (it != part->headers.end() && it->emptied()) ++it;
  if (it == part->headers.end()) {
    if (!part->headers.empty()) {
      part->cursor = std::prev(part->headers.end());
      part->cursorSet = true;
    }
    return 0;
  }
  part->cursor = it;
  part->cursorSet = true;
  CopyOut(it->name, name, 127);
  if (value) CopyOut(DisplayValue(*it), value, 1023);
  return 1;
}

}  // namespace

int32_t MimeGetFirstHeader(LibHandle handle, char* name, char* value) { return NextHeader(handle, name, value, true); }
int32_t MimeGetNextHeader(LibHandle handle, char* name, char* value) { return NextHeader(handle, name, value, false); }

int32_t MimeSetDate(LibHandle handle, const char* text, uint32_t options) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Result<MimePart*> part0 = PartAt(*m, 0);
  if (!part0.ok()) return Library().Finish(part0.status(), 1, 0);
  std::string date;
  if (!text || !*text) {
    date = FormatDate(0, -1);
  } else {
    uint32_t time = 0;
    int32_t zone = 0;
    // Text that is no date is stored as it is.
    date = ParseDate(text, options, &time, &zone).ok() ? FormatDate(time, zone) : std::string(text);
  }
  CopyOut(date, m->dateText, sizeof m->dateText);
  const Status stored =
      cvcore::OrOutOfMemory([&] { return SetPartHeaderValue(*m, *part0.value(), "Date", date); }, Failed);
  return Library().Finish(stored, 1, 0);
}
