// Parsed entries into the records callers receive.
#include <cstring>

#include "ftp/listing/list_internal.h"

namespace cvftp::listing {

namespace {

template <size_t N>
void CopyText(char (&field)[N], const char* text) noexcept {
  size_t i = 0;
  if (text)
    for (; i + 1 < N && text[i]; ++i) field[i] = text[i];
  field[i] = '\0';
}

}  // namespace

void FillInfo(const FtpListEntry& e, FtpFileInfoEx& out) noexcept {
  out = FtpFileInfoEx{};
  CopyText(out.name, e.name);
  CopyText(out.owner, e.owner);
  CopyText(out.group, e.group);
  out.modified = e.modified;
  out.directory = (e.directory || e.link) ? 1 : 0;
  out.size = e.size;
  out.linkCount = e.linkCount;
  out.version = e.version;
  out.permissions = e.permissions;
}

void NarrowInfo(const FtpFileInfoEx& in, FtpFileInfo& out) noexcept {
  out = FtpFileInfo{};
  std::memcpy(out.name, in.name, sizeof out.name);
  std::memcpy(out.owner, in.owner, sizeof out.owner);
  std::memcpy(out.group, in.group, sizeof out.group);
  out.directory = in.directory;
  out.size = (in.size >> 32) ? 0xFFFFFFFFu : uint32_t(in.size);
  out.linkCount = in.linkCount;
  out.version = in.version;
  out.permissions = in.permissions;
  out.modified = in.modified;
}

}  // namespace cvftp::listing
