#pragma once
// Directory entries of an FTP or SFTP session: the records handed to callers, the parsed
// form of one listing line kept in the session's entry list, and the directory formats.
#include <cstdint>

#include "platform/types.h"

// One directory entry or file status, as the caller receives it (zero-filled, then filled).
struct FtpFileInfoEx {
  char name[512];
  char owner[64];
  char group[64];
  uint32_t directory;    // 1 for directories and, from a listing, for symbolic links
  uint64_t size;
  uint32_t linkCount;
  uint32_t version;      // VMS file version
  uint32_t permissions;  // Unix mode bits, 0x1000 for a link; Sterling status bits for those formats
  uint32_t reserved;     // always 0
  SYSTEMTIME modified;
};

// The 32-bit form the control reads: the size is 0xFFFFFFFF when it needs more than 32 bits.
struct FtpFileInfo {
  char name[512];
  char owner[64];
  char group[64];
  uint32_t directory;
  uint32_t size;
  uint32_t linkCount;
  uint32_t version;
  uint32_t permissions;
  SYSTEMTIME modified;
};

// One parsed listing line. The texts point into the entry's own copy of the line or into
// its two composition areas; null means the line had none.
struct FtpListEntry {
  FtpListEntry* next;
  const char* name;
  const char* linkTarget;
  const char* owner;
  const char* group;
  uint32_t directory;
  uint32_t link;
  uint64_t size;
  uint32_t linkCount;
  uint32_t version;
  uint32_t permissions;
  SYSTEMTIME modified;
  char ownerText[256];
  char groupText[256];
  char* line;  // the copy of the line, stored behind the record in the same block
};

// Directory formats.
inline constexpr uint32_t kFtpFormatAutoDetect = 0;
inline constexpr uint32_t kFtpFormatUnix = 1;
inline constexpr uint32_t kFtpFormatMsdos = 2;
inline constexpr uint32_t kFtpFormatVms = 3;
inline constexpr uint32_t kFtpFormatSterling1 = 4;
inline constexpr uint32_t kFtpFormatSterling2 = 5;
inline constexpr uint32_t kFtpFormatNetWare = 6;
inline constexpr uint32_t kFtpFormatMlsd = 7;
inline constexpr uint32_t kFtpFormatSftp = 255;

// Sterling transfer status bits (formats 4 and 5).
inline constexpr uint32_t kFtpSterlingStatusTcp = 0x4000000;
inline constexpr uint32_t kFtpSterlingStatusFtp = 0x8000000;
inline constexpr uint32_t kFtpSterlingStatusBsc = 0x10000000;
inline constexpr uint32_t kFtpSterlingStatusAsc = 0x20000000;
inline constexpr uint32_t kFtpSterlingStatusFts = 0x40000000;
inline constexpr uint32_t kFtpSterlingStatusOther = 0x80000000;

inline constexpr uint32_t kFtpPermissionLink = 0x1000;
