// Mail messages as the mail client receives them: parsed, every part read back (text,
// headers, attachment name, type), exported, and the export parsed and exported again, which
// must give the same text (an export is stable once written).
#include <cstring>
#include <string>
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

}  // namespace

CV_FUZZ_TARGET(mime_message) {
  static const bool attached = MimeAttach(nullptr) == 1;
  FUZZ_CHECK(attached);
  const LibHandle h = MimeCreateMessage();
  FUZZ_CHECK(h != kInvalidLibHandle);
  if (MimeParseMessage(h, reinterpret_cast<const char*>(data), int32_t(size)) == 1) {
    ReadParts(h);
    const std::string first = Export(h);
    if (!first.empty()) {
      const LibHandle again = MimeCreateMessage();
      FUZZ_CHECK(MimeParseMessage(again, first.data(), int32_t(first.size())) == 1);
      FUZZ_CHECK(MimeGetPartCount(again) == MimeGetPartCount(h));
      const std::string second = Export(again);
      FUZZ_CHECK(second == first);
      MimeDestroyMessage(again);
    }
  }
  MimeDestroyMessage(h);
}
