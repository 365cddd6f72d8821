// Local CRC-32 and MD5 of a file, and the comparison of a local with a remote file by
// XMD5, XCRC or size.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/digest/crc32.h"
#include "core/digest/md5.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_local_file.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

constexpr uint32_t kMethodSize = 1;
constexpr uint32_t kMethodCrc = 2;
constexpr uint32_t kMethodMd5 = 4;
constexpr uint64_t kChecksumLimit = 256ull << 20;  // larger files are compared by size
constexpr size_t kChecksumBlock = 8192;
constexpr size_t kChecksumTextSize = 33;

// The checksum text of a local file: CRC-32 without leading zeros, or 32 MD5 digits.
bool LocalChecksum(const char* path, uint32_t method, char (&text)[kChecksumTextSize]) noexcept {
  text[0] = '\0';
  LocalFile file;
  if (!file.Open(path, LocalFile::Mode::Read)) return false;
  char block[kChecksumBlock];
  uint32_t crc = 0xFFFFFFFFu;
  Md5Context md5;
  Md5Begin(&md5);
  for (;;) {
    const int64_t n = file.Read(block, sizeof block);
    if (n < 0) return false;
    if (n == 0) break;
    if (method == kMethodCrc)
      Crc32Update(&crc, block, size_t(n));
    else
      Md5Append(&md5, block, size_t(n));
  }
  if (method == kMethodCrc) {
    std::snprintf(text, sizeof text, "%X", ~crc);
    Md5End(reinterpret_cast<uint8_t*>(block), &md5);  // clears the unused context
    return true;
  }
  uint8_t digest[16];
  Md5End(digest, &md5);
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", digest[i]);
  return true;
}

// The last run of hexadecimal digits standing alone in the reply: servers answer with the
// digest alone, after a file name, or on the last line of a multi-line reply.
std::string LastHexToken(const char* text) noexcept {
  std::string last;
  const char* p = text;
  while (*p) {
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* start = p;
    while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (p == start) break;
    bool hex = true;
    for (const char* q = start; q < p; ++q) hex = hex && std::isxdigit(static_cast<unsigned char>(*q));
    if (hex) last.assign(start, p);
  }
  return last;
}

// One checksum command; 1 equal, 0 with the error.
int32_t CompareChecksum(FtpSession& s, const char* local, const char* remote, uint32_t method) noexcept {
  const bool md5 = method == kMethodMd5;
  const uint32_t feature = md5 ? kFeatureXmd5 : kFeatureXcrc;
  char mine[kChecksumTextSize];
  if (!LocalChecksum(local, method, mine)) return 0;
  const int32_t r = SendCommand(s, md5 ? "XMD5" : "XCRC", remote, cvErrorInvalidFileName);
  if (Gone(s)) return FailGone(), 0;
  if (r == -1) {
    if (s.replyCode >= 500 && s.replyCode <= 504) {
      s.features &= ~feature;
      return Fail(cvErrorFeatureNotSupported), 0;
    }
    return 0;
  }
  const std::string theirs = LastHexToken(s.replyText);
  if (theirs.empty()) return Fail(cvErrorFileChecksumMismatch), 0;
  bool equal;
  if (md5) {
    equal = strcasecmp(theirs.c_str(), mine) == 0;
  } else {
    // The server may keep leading zeros: compare the values.
    equal = theirs.size() <= 8 && std::strtoul(theirs.c_str(), nullptr, 16) == std::strtoul(mine, nullptr, 16);
  }
  return equal ? 1 : (Fail(cvErrorFileChecksumMismatch), 0);
}

}  // namespace

int32_t VerifyFile(FtpSession& s, const char* local, const char* remote, uint32_t method) noexcept {
  if (Empty(local) || Empty(remote)) return Fail(cvErrorInvalidFileName), 0;
  int64_t localSize;
  {
    LocalFile file;
    if (!file.Open(local, LocalFile::Mode::Read)) return 0;
    localSize = file.Size();
    if (localSize < 0) return Fail(cvErrorAccessDenied), 0;
  }
  if (method == 0) method = uint64_t(localSize) <= kChecksumLimit ? (kMethodSize | kMethodCrc | kMethodMd5) : kMethodSize;
  if (s.options & kOptSftp) method &= ~(kMethodCrc | kMethodMd5);
  if ((method & kMethodMd5) && (s.features & kFeatureXmd5)) return CompareChecksum(s, local, remote, kMethodMd5);
  if ((method & kMethodCrc) && (s.features & kFeatureXcrc)) return CompareChecksum(s, local, remote, kMethodCrc);
  if (method & kMethodSize) {
    uint64_t remoteSize = 0;
    if (QueryFileSize(s, remote, &remoteSize) == -1) return 0;
    if (remoteSize != uint64_t(localSize)) return Fail(cvErrorFileSizeMismatch), 0;
    return 1;
  }
  return Fail(cvErrorOperationNotSupported), 0;
}

}  // namespace cvftp

int32_t FtpLocalChecksum(const char* local, char* text, uint32_t method) {
  if (!text) return cvftp::Fail(cvErrorInvalidParameter), 0;
  text[0] = '\0';
  if (cvftp::Empty(local)) return cvftp::Fail(cvErrorInvalidFileName), 0;
  if (method != 2 && method != 4) return cvftp::Fail(cvErrorInvalidParameter), 0;
  char out[33];
  if (!cvftp::LocalChecksum(local, method, out)) return 0;
  std::memcpy(text, out, std::strlen(out) + 1);
  return 1;
}

int32_t FtpVerifyFile(LibHandle handle, const char* local, const char* remote, uint32_t method) {
  cvftp::Operation op(handle);
  return op ? cvftp::VerifyFile(*op.session(), local, remote, method) : 0;
}
