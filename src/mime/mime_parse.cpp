// Parsing raw message text into parts and headers, incrementally over chunks of any size,
// and importing a message from a file or the clipboard.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "mime/mime_file_io.h"
#include "mime/mime_internal.h"
#include "platform/clipboard/clipboard.h"

namespace cvmime {

namespace {

enum class HeaderResult { Stored, Failed, NotHeader };

bool IsAsciiAlnum(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// One header line (its LF may be present). strict: the caller's own line, where anything
// that is no header fails as the interface says; otherwise (while parsing a message) a line
// that cannot be a header is reported so that it goes to the body, and an invalid name is
// passed over rather than losing the rest of the message.
HeaderResult ParseHeader(MimeMessage& m, std::string_view line, bool strict) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (IStartsWith(line, "From ")) return HeaderResult::Stored;  // mailbox separator
  MimePart* part = CurrentPart(m);
  if (!part) return HeaderResult::Failed;
  const size_t stop = line.find_first_of(" \t\r\n:");
  if (stop == std::string_view::npos || line[stop] != ':') {
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!m.lastHeader || m.lastHeader->emptied() || m.lastHeaderPart != part) {
      if (strict) return Fail<HeaderResult>(cvErrorInvalidMessageHeader, HeaderResult::Failed);
      return HeaderResult::NotHeader;
    }
    if (!strict && !folded) return HeaderResult::NotHeader;
    const std::string_view rest = Trim(line);
    if (rest.empty()) return HeaderResult::Stored;
    const std::string name = m.lastHeader->name;
    std::string value = m.lastHeader->stored;
    value.append(1, ' ').append(rest);
    // The continuation belongs to the very header it follows, also a repeated one.
    return SetPartHeaderValue(m, *part, name, value, HeaderPlace::Node, m.lastHeader) ? HeaderResult::Stored
                                                                                        : HeaderResult::Failed;
  }
  const std::string_view name = line.substr(0, stop);
  const std::string_view value = Trim(line.substr(stop + 1));
  if (!strict && NormalizeHeaderName(name).empty()) return HeaderResult::Stored;
  // Headers that may repeat (Received, recipients, signatures, trace and resent fields...)
  // keep every instance in order; a second instance of a single header replaces the first.
  const HeaderPlace place = !IsSingleHeader(Trim(name)) && FindHeader(*part, NormalizeHeaderName(name))
                                ? HeaderPlace::Append
                                : HeaderPlace::First;
  return SetPartHeaderValue(m, *part, name, value, place) ? HeaderResult::Stored : HeaderResult::Failed;
}

// The level whose boundary delimits on this line, searching from the current level out (a
// missing closing delimiter of a nested part must not swallow the rest of the message).
int32_t DelimiterLevel(const MimeMessage& m, std::string_view line, bool& closing) {
  while (!line.empty() && IsWhite(line.back())) line.remove_suffix(1);
  if (line.size() < 3 || line[0] != '-' || line[1] != '-') return -1;
  line.remove_prefix(2);
  for (int32_t level = m.currentLevel; level >= 0; --level) {
    const std::string& b = m.boundaries[size_t(level)];
    if (b.empty() || line.size() < b.size() || line.compare(0, b.size(), b) != 0) continue;
    const std::string_view rest = line.substr(b.size());
    if (rest.empty() || rest == "--") {
      closing = !rest.empty();
      return level;
    }
  }
  return -1;
}

// Whether a line could be a header line or its continuation: it begins with white space,
// or a colon comes before its first white space.
bool CouldBeHeaderLine(std::string_view line) noexcept {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return true;
  const size_t stop = line.find_first_of(" \t:");
  return stop != std::string_view::npos && line[stop] == ':';
}

// Text past the most parts a message holds: kept as it is (line ends as CR LF) in the body
// of the last part, so that nothing of the message is lost and export writes it back.
bool KeepOverflow(MimeMessage& m, std::string_view text) {
  MimePart& last = *m.parts.back();
  const bool lineEnd = !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  return AppendRaw(m, last, text) && (!lineEnd || AppendRaw(m, last, "\r\n"));
}

// A complete line with its LF.
bool TakeLine(MimeMessage& m, std::string_view line) {
  if (m.partsOverflowed) return KeepOverflow(m, line);
  if (m.inHeaders) {
    if (line == "\n") {
      m.inHeaders = false;
      return true;
    }
    switch (ParseHeader(m, line, false)) {
      case HeaderResult::Stored: return true;
      case HeaderResult::Failed: return false;
      case HeaderResult::NotHeader: m.inHeaders = false; break;  // a part without a header block
    }
  }
  MimePart* part = CurrentPart(m);
  if (!part) return false;
  bool closing = false;
  // The rest of a line whose start went to the body already is no delimiter.
  const int32_t level = m.lineFlushed ? -1 : DelimiterLevel(m, line, closing);
  m.lineFlushed = false;
  if (level < 0) return WriteBody(m, *part, -1, line) >= 0;
  if (!closing && m.parts.size() >= size_t(kMimeMaxParts)) {
    m.partsOverflowed = true;
    return KeepOverflow(m, line);
  }
  // The line break before a delimiter belongs to it; decoded base64 text has none stored.
  const bool decodedBase64 = DecodesOnStore(*part) && part->encoding == kMimeEncodingBase64;
  if (!decodedBase64 && (part->body == "\r\n" || std::string_view(part->body).ends_with("\r\n\r\n")))
    part->body.truncate(part->body.size() - 2);
  m.currentLevel = level;
  if (closing) {
    m.currentPart = 0;
    m.currentLevel = level > 0 ? level - 1 : 0;
    return true;
  }
  return AddPartLocked(m) >= 0;
}

}  // namespace

namespace {

// How much of a full body line may go to the body before its end is seen: all of it,
// except that a decoding part keeps back an open quoted-printable escape, or base64
// characters that do not make a whole group of four, for the next piece.
size_t FlushableLength(const MimePart& part, std::string_view line) {
  if (!DecodesOnStore(part)) return line.size();
  if (part.encoding == kMimeEncodingQuoted) {
    const size_t eq = line.find('=', line.size() > 2 ? line.size() - 2 : 0);
    return eq == std::string_view::npos ? line.size() : eq;
  }
  size_t symbols = 0;
  for (const char c : line) symbols += IsBase64Symbol(c);
  size_t keep = symbols % 4;
  size_t cut = line.size();
  while (keep > 0 && cut > 0)
    if (IsBase64Symbol(line[--cut])) --keep;
  return cut;
}

// A body line that reached the line buffer's size goes to the body in a piece, so that no
// byte of a long line is lost (header lines stay capped).
bool FlushLongBodyLine(MimeMessage& m) {
  if (m.partsOverflowed) {
    if (!KeepOverflow(m, m.line)) return false;
    m.line.clear();
    m.lineFlushed = true;
    return true;
  }
  MimePart* part = CurrentPart(m);
  if (!part) return false;
  const size_t n = FlushableLength(*part, m.line);
  if (n == 0) return true;
  if (WriteBody(m, *part, -1, std::string_view(m.line).substr(0, n)) < 0) return false;
  m.line.erase(0, n);
  m.lineFlushed = true;
  return true;
}

// Appends bytes of one body line (no LF among them) to the line buffer, CR and NUL left out.
bool AppendBodyBytes(MimeMessage& m, const char* p, size_t n) {
  while (n > 0) {
    if (m.line.size() >= kMimeLineMax && !FlushLongBodyLine(m)) return false;
    const size_t room = kMimeLineMax > m.line.size() ? kMimeLineMax - m.line.size() : 0;
    size_t take = std::min(n, room);
    if (take == 0) {
      // A decoding part kept its whole buffer back (no safe cut): store it as it is.
      MimePart* part = CurrentPart(m);
      if (!part || WriteBody(m, *part, -1, m.line) < 0) return false;
      m.line.clear();
      m.lineFlushed = true;
      continue;
    }
    const char* end = p + take;
    while (p < end) {
      const void* cr = std::memchr(p, '\r', size_t(end - p));
      const char* stop = cr ? static_cast<const char*>(cr) : end;
      if (const void* nul = std::memchr(p, '\0', size_t(stop - p))) stop = static_cast<const char*>(nul);
      m.line.append(p, size_t(stop - p));
      p = stop < end ? stop + 1 : stop;
    }
    n -= take;
  }
  return true;
}

}  // namespace

bool ParseText(MimeMessage& m, const char* text, size_t length) {
  size_t i = 0;
  while (i < length) {
    if (!m.beforeFirstHeader && !m.inHeaders) {
      // A body line: taken up to its LF in one piece.
      const void* lf = std::memchr(text + i, '\n', length - i);
      const size_t end = lf ? size_t(static_cast<const char*>(lf) - text) : length;
      if (!AppendBodyBytes(m, text + i, end - i)) return false;
      m.lineComplete = false;
      i = end;
      if (!lf) break;
      ++i;
      m.line.push_back('\n');
      const bool ok = TakeLine(m, m.line);
      m.line.clear();
      m.lineComplete = true;
      if (!ok) return false;
      continue;
    }
    const char c = text[i++];
    if (c == '\r' || c == '\0') continue;
    if (m.beforeFirstHeader && m.line.empty()) {
      if (c == '\n' && !m.leadingSkipped) {
        // The text starts with an empty line: the message has no header block, and all
        // that follows is its body.
        m.beforeFirstHeader = false;
        m.inHeaders = false;
        continue;
      }
      if (!IsAsciiAlnum(c)) {
        m.leadingSkipped = true;
        continue;
      }
      m.beforeFirstHeader = false;
    } else if (m.inHeaders && !m.line.empty() && c == '\n' && i < length && (text[i] == ' ' || text[i] == '\t') &&
               CouldBeHeaderLine(m.line)) {
      continue;  // a folded header continues on this line (text that is no header keeps its breaks)
    }
    if (m.line.size() >= kMimeLineMax && c != '\n' && m.inHeaders && !CouldBeHeaderLine(m.line)) {
      // A full line that no header can start with: the header block has ended and the
      // line is body text, which keeps all of its bytes.
      m.inHeaders = false;
      --i;
      continue;
    }
    if (m.line.size() < kMimeLineMax || c == '\n') m.line.push_back(c);
    m.lineComplete = false;
    if (c == '\n') {
      const bool ok = TakeLine(m, m.line);
      m.line.clear();
      m.lineComplete = true;
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace cvmime

using namespace cvmime;

int32_t MimeParseMessage(LibHandle handle, const char* text, int32_t length) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!text || length < 0) return Fail(cvErrorInvalidParameter);
  try {
    if (m->line.capacity() < 256) m->line.reserve(256);
    if (!ParseText(*m, text, size_t(length))) return 0;
    // Every byte was taken; a message with more parts than it can hold says so each time.
    return m->partsOverflowed ? Fail(cvErrorInvalidMessagePart) : 1;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

int32_t MimeParseHeaderLine(LibHandle handle, const char* line) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!line) return Fail(cvErrorInvalidParameter);
  try {
    return ParseHeader(*m, line, true) == HeaderResult::Stored ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
}

namespace {

uint32_t GrowthStepFor(uint64_t length) {
  const uint64_t step = (((length + 2) / 4096 + 1) / 16 + 1) * 4096;
  return step > 0x10000000u ? 0x10000000u : uint32_t(step);
}

bool ImportClipboard(MimeMessage& m, bool& endedWithLf) {
  if (!plat::IsClipboardFormatAvailable(plat::CF_TEXT)) return Fail<bool>(cvErrorClipboardEmpty, false);
  if (!plat::OpenClipboard(nullptr)) return Fail<bool>(cvErrorClipboardUnavailable, false);
  struct Closer {
    ~Closer() { plat::CloseClipboard(); }
  } closer;
  plat::HGLOBAL block = plat::GetClipboardData(plat::CF_TEXT);
  if (!block) return Fail<bool>(cvErrorClipboardUnavailable, false);
  const auto* text = static_cast<const char*>(plat::GlobalLock(block));
  if (!text) return Fail<bool>(cvErrorClipboardUnavailable, false);
  const size_t length = strnlen(text, plat::GlobalSize(block));
  bool ok = length > 0;
  if (!ok) {
    Fail(cvErrorClipboardEmpty);
  } else {
    m.growthStep = GrowthStepFor(length);
    ok = ParseText(m, text, length);
    endedWithLf = text[length - 1] == '\n';
  }
  plat::GlobalUnlock(block);
  return ok;
}

bool ImportFile(MimeMessage& m, const char* name, bool& endedWithLf) {
  struct stat st;
  if (::stat(name, &st) != 0) return Fail<bool>(cvErrorFileNotFound, false);
  if (!S_ISREG(st.st_mode)) return Fail<bool>(cvErrorInvalidFileType, false);
  UniqueFd fd = OpenRead(name);
  if (!fd) return Fail<bool>(cvErrorAccessDenied, false);
  m.growthStep = GrowthStepFor(uint64_t(st.st_size));
  char block[4096];
  for (;;) {
    const ssize_t n = ReadFull(fd.get(), block, sizeof block);
    if (n <= 0) break;
    if (!ParseText(m, block, size_t(n))) return false;
    endedWithLf = block[n - 1] == '\n';
  }
  return true;
}

}  // namespace

int32_t MimeImportMessage(LibHandle handle, const char* fileName) {
  if (!MimeResetMessage(handle)) return 0;
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  try {
    bool endedWithLf = true;
    const bool ok = fileName && *fileName ? ImportFile(*m, fileName, endedWithLf) : ImportClipboard(*m, endedWithLf);
    if (!ok) return 0;
    if (!endedWithLf && !ParseText(*m, "\r\n", 2)) return 0;
  } catch (const std::bad_alloc&) {
    return Fail(cvErrorOutOfMemory);
  }
  // The message is whole, but holds no more parts than the limit: the caller hears of it.
  if (m->partsOverflowed) return Fail(cvErrorInvalidMessagePart);
  Library().SetLastError(0);
  return 1;
}

int32_t MimeLoadMessage(LibHandle handle, const char* fileName) {
  return MimeImportMessage(handle, fileName && *fileName ? fileName : nullptr);
}
