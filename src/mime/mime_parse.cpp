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

enum class HeaderResult { Stored, NotHeader };

bool IsAsciiAlnum(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// One header line (its LF may be present). strict: the caller's own line, where anything
// that is no header fails as the interface says; otherwise (while parsing a message) a line
// that cannot be a header is reported so that it goes to the body, and an invalid name is
// passed over rather than losing the rest of the message.
Result<HeaderResult> ParseHeader(MimeMessage& m, std::string_view line, bool strict) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (IStartsWith(line, "From ")) return HeaderResult::Stored;  // mailbox separator
  const Result<MimePart*> found = CurrentPart(m);
  if (!found.ok()) return found.status();
  MimePart* part = found.value();
  const size_t stop = line.find_first_of(" \t\r\n:");
  if (stop == std::string_view::npos || line[stop] != ':') {
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!m.lastHeader || m.lastHeader->emptied() || m.lastHeaderPart != part) {
      if (strict) return Status(cvErrorInvalidMessageHeader);
      return HeaderResult::NotHeader;
    }
    if (!strict && !folded) return HeaderResult::NotHeader;
    const std::string_view rest = Trim(line);
    if (rest.empty()) return HeaderResult::Stored;
    const std::string name = m.lastHeader->name;
    std::string value = m.lastHeader->stored;
    value.append(1, ' ').append(rest);
    // The continuation belongs to the very header it follows, also a repeated one.
    const Status stored = SetPartHeaderValue(m, *part, name, value, HeaderPlace::Node, m.lastHeader);
    if (!stored.ok()) return stored;
    return HeaderResult::Stored;
  }
  const std::string_view name = line.substr(0, stop);
  const std::string_view value = Trim(line.substr(stop + 1));
  if (!strict && NormalizeHeaderName(name).empty()) return HeaderResult::Stored;
  // Headers that may repeat (Received, recipients, signatures, trace and resent fields...)
  // keep every instance in order; a second instance of a single header replaces the first.
  const HeaderPlace place = !IsSingleHeader(Trim(name)) && FindHeader(*part, NormalizeHeaderName(name))
                                ? HeaderPlace::Append
                                : HeaderPlace::First;
  if (const Status stored = SetPartHeaderValue(m, *part, name, value, place); !stored.ok()) return stored;
  return HeaderResult::Stored;
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
Status KeepOverflow(MimeMessage& m, std::string_view text) {
  MimePart& last = *m.parts.back();
  const bool lineEnd = !text.empty() && text.back() == '\n';
  if (lineEnd) text.remove_suffix(1);
  if (const Status kept = AppendRaw(m, last, text); !kept.ok() || !lineEnd) return kept;
  return AppendRaw(m, last, "\r\n");
}

// A complete line with its LF.
Status TakeLine(MimeMessage& m, std::string_view line) {
  if (m.partsOverflowed) return KeepOverflow(m, line);
  if (m.inHeaders) {
    if (line == "\n") {
      m.inHeaders = false;
      return Status();
    }
    const Result<HeaderResult> header = ParseHeader(m, line, false);
    if (!header.ok() || header.value() == HeaderResult::Stored) return header.status();
    m.inHeaders = false;  // a part without a header block
  }
  const Result<MimePart*> found = CurrentPart(m);
  if (!found.ok()) return found.status();
  MimePart* part = found.value();
  bool closing = false;
  // The rest of a line whose start went to the body already is no delimiter.
  const int32_t level = m.lineFlushed ? -1 : DelimiterLevel(m, line, closing);
  m.lineFlushed = false;
  if (level < 0) return WriteBody(m, *part, -1, line).status();
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
    return Status();
  }
  return AddPartLocked(m).status();
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
Status FlushLongBodyLine(MimeMessage& m) {
  if (m.partsOverflowed) {
    if (const Status kept = KeepOverflow(m, m.line); !kept.ok()) return kept;
    m.line.clear();
    m.lineFlushed = true;
    return Status();
  }
  const Result<MimePart*> part = CurrentPart(m);
  if (!part.ok()) return part.status();
  const size_t n = FlushableLength(*part.value(), m.line);
  if (n == 0) return Status();
  const Result<int32_t> written = WriteBody(m, *part.value(), -1, std::string_view(m.line).substr(0, n));
  if (!written.ok()) return written.status();
  m.line.erase(0, n);
  m.lineFlushed = true;
  return Status();
}

// Appends bytes of one body line (no LF among them) to the line buffer, CR and NUL left out.
Status AppendBodyBytes(MimeMessage& m, const char* p, size_t n) {
  while (n > 0) {
    if (m.line.size() >= kMimeLineMax) {
      if (const Status flushed = FlushLongBodyLine(m); !flushed.ok()) return flushed;
    }
    const size_t room = kMimeLineMax > m.line.size() ? kMimeLineMax - m.line.size() : 0;
    size_t take = std::min(n, room);
    if (take == 0) {
      // A decoding part kept its whole buffer back (no safe cut): store it as it is.
      const Result<MimePart*> part = CurrentPart(m);
      if (!part.ok()) return part.status();
      if (const Result<int32_t> written = WriteBody(m, *part.value(), -1, m.line); !written.ok())
        return written.status();
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
  return Status();
}

}  // namespace

Status ParseText(MimeMessage& m, const char* text, size_t length) {
  size_t i = 0;
  while (i < length) {
    if (!m.beforeFirstHeader && !m.inHeaders) {
      // A body line: taken up to its LF in one piece.
      const void* lf = std::memchr(text + i, '\n', length - i);
      const size_t end = lf ? size_t(static_cast<const char*>(lf) - text) : length;
      if (const Status appended = AppendBodyBytes(m, text + i, end - i); !appended.ok()) return appended;
      m.lineComplete = false;
      i = end;
      if (!lf) break;
      ++i;
      m.line.push_back('\n');
      const Status taken = TakeLine(m, m.line);
      m.line.clear();
      m.lineComplete = true;
      if (!taken.ok()) return taken;
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
      const Status taken = TakeLine(m, m.line);
      m.line.clear();
      m.lineComplete = true;
      if (!taken.ok()) return taken;
    }
  }
  return Status();
}

}  // namespace cvmime

using namespace cvmime;

int32_t MimeParseMessage(LibHandle handle, const char* text, int32_t length) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!text || length < 0) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  const Status parsed = cvcore::OrOutOfMemory(
      [&] {
        if (m->line.capacity() < 256) m->line.reserve(256);
        const Status taken = ParseText(*m, text, size_t(length));
        // Every byte was taken; a message with more parts than it can hold says so each time.
        return taken.ok() && m->partsOverflowed ? Status(cvErrorInvalidMessagePart) : taken;
      },
      Failed);
  return Library().Finish(parsed, 1, 0);
}

int32_t MimeParseHeaderLine(LibHandle handle, const char* line) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  if (!line) return Library().Finish(Status(cvErrorInvalidParameter), 1, 0);
  const Result<HeaderResult> header = cvcore::OrOutOfMemory([&] { return ParseHeader(*m, line, true); }, Failed);
  // A strict parse stores the line or fails: it never passes a line on to the body.
  return Library().Finish(header.status(), 1, 0);
}

namespace {

uint32_t GrowthStepFor(uint64_t length) {
  const uint64_t step = (((length + 2) / 4096 + 1) / 16 + 1) * 4096;
  return step > 0x10000000u ? 0x10000000u : uint32_t(step);
}

Status ImportClipboard(MimeMessage& m, bool& endedWithLf) {
  if (!plat::IsClipboardFormatAvailable(plat::CF_TEXT)) return Status(cvErrorClipboardEmpty);
  if (!plat::OpenClipboard(nullptr)) return Status(cvErrorClipboardUnavailable);
  struct Closer {
    ~Closer() { plat::CloseClipboard(); }
  } closer;
  plat::HGLOBAL block = plat::GetClipboardData(plat::CF_TEXT);
  if (!block) return Status(cvErrorClipboardUnavailable);
  const auto* text = static_cast<const char*>(plat::GlobalLock(block));
  if (!text) return Status(cvErrorClipboardUnavailable);
  struct Unlocker {
    plat::HGLOBAL block;
    ~Unlocker() { plat::GlobalUnlock(block); }
  } unlocker{block};
  const size_t length = strnlen(text, plat::GlobalSize(block));
  if (length == 0) return Status(cvErrorClipboardEmpty);
  m.growthStep = GrowthStepFor(length);
  const Status parsed = ParseText(m, text, length);
  endedWithLf = text[length - 1] == '\n';
  return parsed;
}

Status ImportFile(MimeMessage& m, const char* name, bool& endedWithLf) {
  struct stat st;
  if (::stat(name, &st) != 0) return Status(cvErrorFileNotFound);
  if (!S_ISREG(st.st_mode)) return Status(cvErrorInvalidFileType);
  UniqueFd fd = OpenRead(name);
  if (!fd) return Status(cvErrorAccessDenied);
  m.growthStep = GrowthStepFor(uint64_t(st.st_size));
  char block[4096];
  for (;;) {
    const ssize_t n = ReadFull(fd.get(), block, sizeof block);
    if (n <= 0) break;
    if (const Status parsed = ParseText(m, block, size_t(n)); !parsed.ok()) return parsed;
    endedWithLf = block[n - 1] == '\n';
  }
  return Status();
}

Status Import(MimeMessage& m, const char* fileName) {
  if (const Status reset = ResetMessage(m); !reset.ok()) return reset;
  bool endedWithLf = true;
  const Status imported =
      fileName && *fileName ? ImportFile(m, fileName, endedWithLf) : ImportClipboard(m, endedWithLf);
  if (!imported.ok() || endedWithLf) return imported;
  return ParseText(m, "\r\n", 2);
}

}  // namespace

int32_t MimeImportMessage(LibHandle handle, const char* fileName) {
  MimeMessage* m = GetMessage(handle);
  if (!m) return 0;
  const Status imported = cvcore::OrOutOfMemory([&] { return Import(*m, fileName); }, Failed);
  if (!imported.ok()) return Library().Finish(imported, 1, 0);
  // The message is whole, but holds no more parts than the limit: the caller hears of it.
  if (m->partsOverflowed) return Library().Finish(Status(cvErrorInvalidMessagePart), 1, 0);
  return Library().FinishClean(imported, 1, 0);
}

int32_t MimeLoadMessage(LibHandle handle, const char* fileName) {
  return MimeImportMessage(handle, fileName && *fileName ? fileName : nullptr);
}
