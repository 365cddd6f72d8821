// Header lists of parts: set (with the special handling of the MIME headers), read, delete,
// iterate, and the Date header.
#include <new>

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
    m.boundaries[0] = boundary;
    return;
  }
  if (part.container) {
    m.boundaries[size_t(part.level)] = boundary;
    return;
  }
  const int32_t level = part.level + 1;
  if (level > kMimeMaxLevel) return;  // too deep: the part stays a leaf
  part.level = level;
  part.container = true;
  m.boundaries[size_t(level)] = boundary;
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
  std::string().swap(h->name);
  std::string().swap(h->stored);
  h->display.reset();
  return true;
}

}  // namespace

MimeHeader* FindHeader(MimePart& part, std::string_view name) noexcept {
  for (MimeHeader& h : part.headers)
    if (!h.emptied() && IEquals(h.name, name)) return &h;
  return nullptr;
}

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

bool SetPartHeaderValue(MimeMessage& m, MimePart& part, std::string_view rawName, std::string_view rawValue) {
  const std::string name = NormalizeHeaderName(rawName);
  if (name.empty()) return Fail<bool>(cvErrorInvalidMessageHeader, false);
  std::string value = NormalizeSpace(rawValue);
  if (value.empty()) {
    DeleteHeaderOn(part, name);
    return true;
  }
  SpecialHeader(m, part, name, value);

  MimeHeader* found = nullptr;
  MimeHeader* emptied = nullptr;
  int32_t seen = 0;
  const bool repeated = m.receivedMode && IEquals(name, "Received");
  for (MimeHeader& h : part.headers) {
    if (h.emptied()) {
      if (!emptied) emptied = &h;
      continue;
    }
    if (!IEquals(h.name, name)) continue;
    if (!repeated || seen++ == part.receivedCount) {
      found = &h;
      break;
    }
  }
  MimeHeader* node = found ? found : emptied;
  if (!node) node = &part.headers.emplace_back();
  node->name = name;
  node->display.reset();
  std::string encoded;
  if (NeedsEncoding(value) && EncodeHeaderValue(value, m.defaultCharset, m.defaultEncoding, encoded)) {
    node->stored = std::move(encoded);
    node->display = std::move(value);
  } else {
    node->stored = std::move(value);
    if (NeedsEncoding(node->stored)) node->display = node->stored;  // raw bytes are shown as they are
  }
  m.lastHeader = node;
  m.lastHeaderPart = &part;
  return true;
}

bool GetParameter(std::string_view value, std::string_view name, std::string& out, size_t limit) {
  size_t start = 0;
  while (start <= value.size()) {
    // The segment up to the next ";" outside double quotes.
    size_t end = start;
    bool quoted = false;
    while (end < value.size() && (quoted || value[end] != ';')) {
      if (value[end] == '"') quoted = !quoted;
      ++end;
    }
    const std::string_view segment = value.substr(start, end - start);
    const size_t eq = segment.find('=');
    if (eq != std::string_view::npos && IEquals(Trim(segment.substr(0, eq)), name)) {
      const std::string_view raw = segment.substr(eq + 1);
      if (raw.size() < limit) {
        std::string_view v = Trim(raw);
        if (!v.empty() && v.front() == '"') {
          v.remove_prefix(1);
          const size_t close = v.rfind('"');
          if (close != std::string_view::npos) v = v.substr(0, close);
          v = Trim(v);
        }
        out.assign(v);
        return true;
      }
    }
    start = end + 1;
  }
  return false;
}

}  // namespace cvmime

using namespace cvmime;

int32_t MimeGetParameter(const char* value, const char* name, char* buffer, int32_t size) {
  if (!value || !name || !buffer || size < 1) return 0;
  std::string out;
  try {
    if (!GetParameter(value, name, out, size_t(size))) return 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
  CopyOut(out, buffer, size);
  return 1;
}

int32_t MimeSetHeader(LibHandle handle, const char* name, const char* value) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!name || !*name) return Fail(cvErrorInvalidMessageHeader);
  MimePart* part = CurrentPart(*m);
  if (!part) return 0;
  try {
    return SetPartHeaderValue(*m, *part, name, value ? value : "") ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

int32_t MimeSetPartHeader(LibHandle handle, int32_t index, const char* name, const char* value) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!name || !*name) return Fail(cvErrorInvalidMessageHeader);
  MimePart* part = index < 0 ? CurrentPart(*m) : PartAt(*m, index);
  if (!part) return 0;
  try {
    return SetPartHeaderValue(*m, *part, name, value ? value : "") ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

const char* MimeGetHeader(LibHandle handle, const char* name) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return nullptr;
  const std::string wanted = name ? NormalizeHeaderName(name) : std::string();
  if (wanted.empty()) return Fail<const char*>(cvErrorInvalidMessageHeader, nullptr);
  MimePart* part = CurrentPart(*m);
  if (!part) return nullptr;
  MimeHeader* h = FindHeader(*part, wanted);
  if (!h) return Fail<const char*>(cvErrorInvalidMessageHeader, nullptr);
  try {
    return DisplayValue(*h).c_str();
  } catch (const std::bad_alloc&) {
    return Fail<const char*>(cvErrorOutOfMemory, nullptr);
  }
}

int32_t MimeGetPartHeader(LibHandle handle, int32_t index, const char* name, char* buffer, int32_t size) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return -1;
  if (!name || size < 0) return Fail<int32_t>(cvErrorInvalidParameter, -1);
  MimePart* part = index < 0 ? CurrentPart(*m) : PartAt(*m, index);
  if (!part) return -1;
  MimeHeader* h = FindHeader(*part, NormalizeHeaderName(name));
  if (!h) return Fail<int32_t>(cvErrorInvalidMessageHeader, 0);
  const std::string& value = DisplayValue(*h);
  if (buffer && size > 0) return CopyOut(value, buffer, size);
  return int32_t(value.size());
}

int32_t MimeDeleteHeader(LibHandle handle, const char* name) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  MimePart* part = CurrentPart(*m);
  if (!part) return 0;
  if (!name || !DeleteHeaderOn(*part, name)) return Fail(cvErrorInvalidMessageHeader);
  return 1;
}

namespace {

int32_t NextHeader(LibHandle handle, char* name, char* value, bool first) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!name) return Fail(cvErrorInvalidParameter);
  MimePart* part = CurrentPart(*m);
  if (!part) return 0;
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
  MimePart* part0 = PartAt(*m, 0);
  if (!part0) return 0;
  std::string date;
  if (!text || !*text) {
    date = FormatDate(0, -1);
  } else {
    uint32_t time = 0;
    int32_t zone = 0;
    date = MimeParseDate(text, options, &time, &zone) ? FormatDate(time, zone) : std::string(text);
  }
  CopyOut(date, m->dateText, sizeof m->dateText);
  try {
    return SetPartHeaderValue(*m, *part0, "Date", date) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}
