#include "mail/common/mail_store.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/errors/error_codes.h"
#include "platform/clipboard/clipboard.h"

namespace cvmail {

uint32_t StoreRetrieved(plat::UniqueGlobal& block, uint32_t length, const char* fileName, int accessMode) noexcept {
  if (fileName && *fileName) {
    const int fd = open(fileName, accessMode | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return cvErrorFileNotCreated;
    plat::HGLOBAL handle = block.get();
    const char* text = handle ? static_cast<const char*>(plat::GlobalLock(handle)) : "";
    uint32_t written = 0;
    while (written < length) {
      const ssize_t n = write(fd, text + written, length - written);
      if (n <= 0) break;
      written += uint32_t(n);
    }
    if (handle) plat::GlobalUnlock(handle);
    const bool closed = close(fd) == 0;
    return written < length || !closed ? cvErrorFileWriteFailed : 0;
  }
  if (length == 0) return cvErrorInvalidBuffer;
  if (!plat::OpenClipboard(nullptr)) return cvErrorClipboardUnavailable;
  plat::EmptyClipboard();
  plat::SetClipboardData(plat::CF_TEXT, block.release());
  plat::CloseClipboard();
  return 0;
}

}  // namespace cvmail
