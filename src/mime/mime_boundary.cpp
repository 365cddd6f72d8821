// Boundaries of multipart messages.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "mime/mime_internal.h"
#include "platform/base/tick.h"

namespace cvmime {

std::string MakeBoundary(MimeMessage* m) {
  // An earlier tick reading and a sequence number keep two boundaries made within the same
  // millisecond apart.
  static const uint32_t earlier = plat::GetTickCount();
  static std::atomic<uint32_t> sequence{0};
  const uint32_t level = m ? uint32_t(m->highestLevel + 1) : 0;
  char text[64];
  std::snprintf(text, sizeof text, "----=_CV%04u_%04u_%08X_%08X", kLibVersionBuild, level, plat::GetTickCount(),
                uint32_t(earlier * 2u + sequence.fetch_add(1)));
  return text;
}

}  // namespace cvmime

char* MimeMakeBoundary(LibHandle handle, char* buffer) {
  MimeMessage* m = handle == kInvalidLibHandle ? nullptr : cvmime::Library().FindSession(handle);
  const std::string text = cvmime::MakeBoundary(m);
  if (!buffer) {
    buffer = static_cast<char*>(m ? cvmime::MemSessionAlloc(handle, 64) : cvmime::MemAlloc(64));
    if (!buffer) return cvmime::Library().Finish<char*>(cvcore::Status(cvErrorOutOfMemory), nullptr, nullptr);
  }
  cvmime::CopyOut(text, buffer, 64);
  return buffer;
}
