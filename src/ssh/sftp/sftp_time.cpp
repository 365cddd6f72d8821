// Unix seconds and calendar times.
#include "ssh/sftp/sftp_time.h"

#include "platform/base/time.h"

namespace cvssh::sftp {

bool UnixToUtc(uint32_t seconds, SYSTEMTIME* out) {
  FILETIME ft = plat::UnixToFileTime(int64_t(seconds));
  if (!plat::FileTimeToSystemTime(&ft, out)) return false;
  out->wMilliseconds = 0;
  return true;
}

bool UtcToUnix(const SYSTEMTIME* utc, uint32_t* seconds) {
  FILETIME ft;
  if (!plat::SystemTimeToFileTime(utc, &ft)) return false;
  int64_t unix = plat::FileTimeToUnix(ft);
  if (unix < 0 || unix > int64_t(UINT32_MAX)) return false;
  *seconds = uint32_t(unix);
  return true;
}

}  // namespace cvssh::sftp
