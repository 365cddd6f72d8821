// Mail messages as the mail client receives them: parsed, every part read back (text,
// headers, attachment name, type), exported, and the export parsed and exported again, which
// must give the same parts and text (for a message whose parts contradict themselves, the
// export is stable from its second writing on).
#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_target.h"
#include "mime/mime.h"
#include "platform/base/heap.h"

namespace {

void ReadParts(LibHandle h) {
  const int32_t count = MimeGetPartCount(h);
  for (int32_t i = 0; i < count; ++i) {
    MimeSelectPart(h, i);
    const int32_t length = MimeGetContentLength(h);
    std::vector<char> text(size_t(length > 0 ? length : 0) + 1);
    const int32_t got = MimeGetText(h, text.data(), int32_t(text.size() - 1));
    FUZZ_CHECK(got >= 0 && size_t(got) < text.size());
    char name[128], value[1024];
    for (int32_t more = MimeGetFirstHeader(h, name, value); more; more = MimeGetNextHeader(h, name, value))
      FUZZ_CHECK(std::strlen(name) < sizeof name && std::strlen(value) < sizeof value);
    char attachment[260];
    if (MimeGetAttachmentName(h, attachment, sizeof attachment)) FUZZ_CHECK(std::strlen(attachment) < sizeof attachment);
    char subtype[128];
    MimeGetMediaSubtype(h, subtype);
    MimeGetPartEncoding(h, i);
  }
  const int32_t all = MimeGetAllHeaders(h, nullptr, 0);
  if (all > 0) {
    std::vector<char> headers(static_cast<size_t>(all));
    FUZZ_CHECK(MimeGetAllHeaders(h, headers.data(), all) < all);
  }
  char recipients[1024];
  uint32_t room = sizeof recipients;
  MimeGetRecipients(h, nullptr, recipients, &room);
}

// The whole message as text, or empty when it cannot be exported.
std::string Export(LibHandle h) {
  plat::HGLOBAL block = nullptr;
  uint32_t size = 0;
  if (!MimeExportMessage(h, kMimeExportGlobal, kMimeExportAllHeaders, nullptr, &block, &size)) return {};
  plat::UniqueGlobal owned(block);
  const char* p = static_cast<const char*>(plat::GlobalLock(block));
  std::string text(p, size);
  plat::GlobalUnlock(block);
  return text;
}

// Parses the text into a reset message, which has no default headers of its own (a new
// message's defaults would come back where a text deleted them with an empty value), and
// exports it again: its part count and the new text.
std::pair<int32_t, std::string> Reparse(const std::string& text) {
  const LibHandle h = MimeCreateMessage();
  FUZZ_CHECK(h != kInvalidLibHandle && MimeResetMessage(h) == 1);
  FUZZ_CHECK(MimeParseMessage(h, text.data(), int32_t(text.size())) == 1);
  std::pair<int32_t, std::string> out(MimeGetPartCount(h), Export(h));
  MimeDestroyMessage(h);
  return out;
}

// True when no header block of the text (at its start, and after each line that begins
// with "--") holds two Content-Type fields. A second one replaces the first while the
// boundary and nesting level the first gave stay, a contradiction that no single text can
// carry: such a message is exported as its parts stand and is not read back alike.
bool OneContentTypePerBlock(std::string_view text) {
  bool inHeaders = true;
  int types = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, 2) == "--") {
      inHeaders = true;
      types = 0;
    } else if (line.empty()) {
      inHeaders = false;
    } else if (inHeaders && line.size() >= 12 && strncasecmp(line.data(), "content-type", 12) == 0) {
      const size_t colon = line.find_first_not_of(" \t", 12);
      if (colon != std::string_view::npos && line[colon] == ':' && ++types > 1) return false;
    }
  }
  return true;
}

}  // namespace

CV_FUZZ_TARGET(mime_message) {
  static const bool attached = MimeAttach(nullptr) == 1;
  FUZZ_CHECK(attached);
  const LibHandle h = MimeCreateMessage();
  FUZZ_CHECK(h != kInvalidLibHandle);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (MimeParseMessage(h, input.data(), int32_t(size)) == 1) {
    ReadParts(h);
    const std::string first = Export(h);
    if (!first.empty()) {
      const auto [parts, second] = Reparse(first);
      if (OneContentTypePerBlock(input)) {
        // The export reads back to the same parts and the same text.
        FUZZ_CHECK(parts == MimeGetPartCount(h));
        FUZZ_CHECK(second == first);
      } else if (!second.empty()) {
        // Whatever the first text made of it, its export is stable from then on.
        const auto [againParts, third] = Reparse(second);
        FUZZ_CHECK(againParts == parts);
        FUZZ_CHECK(third == second);
      }
    }
  }
  MimeDestroyMessage(h);
}
