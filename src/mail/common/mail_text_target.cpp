#include "mail/common/mail_text_target.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/base/utf.h"

namespace cvmail {

uint32_t HandOverText(plat::HGLOBAL block, uint32_t textLength, void* buffer, uint32_t* length, bool unicode) noexcept {
  plat::UniqueGlobal owned(block);
  const char* text = static_cast<const char*>(plat::GlobalLock(block));
  std::u16string wide;
  if (unicode) wide = plat::ToUtf16(std::string_view(text, textLength));
  plat::GlobalUnlock(block);
  if (*length > 0) {
    if (unicode) {
      const uint32_t n = std::min<uint32_t>(*length, uint32_t(wide.size()));
      std::memcpy(buffer, wide.data(), n * sizeof(char16_t));
      *length = n;
    } else {
      const uint32_t n = std::min(*length, textLength);
      text = static_cast<const char*>(plat::GlobalLock(block));
      std::memcpy(buffer, text, n);
      plat::GlobalUnlock(block);
      *length = n;
    }
    return 0;
  }
  if (!unicode) {
    *static_cast<plat::HGLOBAL*>(buffer) = owned.release();
    *length = textLength;
    return 0;
  }
  plat::HGLOBAL out = plat::GlobalAlloc(plat::GMEM_FIXED | plat::GMEM_ZEROINIT, wide.size() * 2 + 2);
  if (!out) return cvErrorOutOfMemory;
  std::memcpy(plat::GlobalLock(out), wide.data(), wide.size() * sizeof(char16_t));
  plat::GlobalUnlock(out);
  *static_cast<plat::HGLOBAL*>(buffer) = out;
  *length = uint32_t(wide.size());
  return 0;
}

}  // namespace cvmail
