// The growable output of export: a movable global memory block that is handed to the
// clipboard or the caller without copying, or saved to a file.
#include <cstring>
#include <new>

#include "mime/mime_file_io.h"
#include "mime/mime_internal.h"

struct MimeStream {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  uint32_t capacity = 0;
  uint32_t step = 2048;
  uint32_t position = 0;
};

namespace {
constexpr uint32_t kSlack = 8192;
}

MimeStream* MimeStreamCreate() {
  auto* s = new (std::nothrow) MimeStream;
  if (!s) return nullptr;
  s->block = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, 10240);
  if (!s->block) {
    delete s;
    return nullptr;
  }
  s->capacity = 2048;
  return s;
}

int32_t MimeStreamWrite(MimeStream* s, const void* data, int32_t length) {
  if (!s || length < 0 || (!data && length > 0)) return -1;
  if (length == 0) return 0;
  const uint64_t needed = uint64_t(s->position) + uint64_t(length);
  if (needed > 0x7FFFFFFFu - kSlack) return -1;
  uint32_t capacity = s->capacity;
  while (capacity < needed) capacity += s->step;
  if (capacity != s->capacity) {
    if (!plat::GlobalReAlloc(s->block, size_t(capacity) + kSlack, plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT))
      return -1;
    s->capacity = capacity;
  }
  auto* p = static_cast<char*>(plat::GlobalLock(s->block));
  if (!p) return -1;
  std::memcpy(p + s->position, data, size_t(length));
  plat::GlobalUnlock(s->block);
  s->position += uint32_t(length);
  if (s->position > s->length) s->length = s->position;
  return length;
}

int32_t MimeStreamLength(MimeStream* s) { return s ? int32_t(s->length) : -1; }

int32_t MimeStreamSave(MimeStream* s, const char* fileName) {
  if (!s || !fileName || !*fileName) return 0;
  cvmime::UniqueFd fd = cvmime::CreateWrite(fileName);
  if (!fd) return 0;
  auto* p = static_cast<const char*>(plat::GlobalLock(s->block));
  if (!p) return 0;
  const bool ok = cvmime::WriteAll(fd.get(), {p, s->length});
  plat::GlobalUnlock(s->block);
  return ok && ::close(fd.release()) == 0 ? 1 : 0;
}

plat::HGLOBAL MimeStreamDetach(MimeStream* s) {
  if (!s) return nullptr;
  plat::HGLOBAL block = s->block;
  if (s->length > 0 && !plat::GlobalReAlloc(block, s->length, plat::GMEM_MOVEABLE)) {
    plat::GlobalFree(block);
    block = nullptr;
  }
  delete s;
  return block;
}

void MimeStreamFree(MimeStream* s) {
  if (!s) return;
  plat::GlobalFree(s->block);
  delete s;
}
