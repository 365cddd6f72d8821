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
Status LocalChecksum(const char* path, uint32_t method, char (&text)[kChecksumTextSize]) noexcept {
  text[0] = '\0';
  LocalFile file;
  if (const Status opened = file.Open(path, LocalFile::Mode::Read); !opened.ok()) return opened;
  char block[kChecksumBlock];
  uint32_t crc = 0xFFFFFFFFu;
  Md5Context md5;
  Md5Begin(&md5);
  for (;;) {
    const Result<int64_t> read = file.Read(block, sizeof block);
    if (!read.ok()) return read.status();
    const size_t n = size_t(read.value());
    if (n == 0) break;
    if (method == kMethodCrc)
      Crc32Update(&crc, block, size_t(n));
    else
      Md5Append(&md5, block, size_t(n));
  }
  if (method == kMethodCrc) {
    std::snprintf(text, sizeof text, "%X", ~crc);
    Md5End(reinterpret_cast<uint8_t*>(block), &md5);  // clears the unused context
    return {};
  }
  uint8_t digest[16];
  Md5End(digest, &md5);
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", digest[i]);
  return {};
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

// One checksum command; success when the two are equal.
Status CompareChecksum(FtpSession& s, const char* local, const char* remote, uint32_t method) noexcept {
  const bool md5 = method == kMethodMd5;
  const uint32_t feature = md5 ? kFeatureXmd5 : kFeatureXcrc;
  char mine[kChecksumTextSize];
  if (const Status summed = LocalChecksum(local, method, mine); !summed.ok()) return summed;
  const Result<int32_t> r = SendCommand(s, md5 ? "XMD5" : "XCRC", remote, cvErrorInvalidFileName);
  if (Gone(s)) return kSessionGone;
  if (!r.ok()) {
    if (s.replyCode >= 500 && s.replyCode <= 504) {
      s.features &= ~feature;
      return Status(cvErrorFeatureNotSupported);
    }
    return r.status();
  }
  const std::string theirs = LastHexToken(s.replyText);
  if (theirs.empty()) return Status(cvErrorFileChecksumMismatch);
  bool equal;
  if (md5) {
    equal = strcasecmp(theirs.c_str(), mine) == 0;
  } else {
    // The server may keep leading zeros: compare the values.
    equal = theirs.size() <= 8 && std::strtoul(theirs.c_str(), nullptr, 16) == std::strtoul(mine, nullptr, 16);
  }
  return equal ? Status() : Status(cvErrorFileChecksumMismatch);
}

}  // namespace

Status VerifyFile(FtpSession& s, const char* local, const char* remote, uint32_t method) noexcept {
  if (Empty(local) || Empty(remote)) return Status(cvErrorInvalidFileName);
  int64_t localSize;
  {
    LocalFile file;
    if (const Status opened = file.Open(local, LocalFile::Mode::Read); !opened.ok()) return opened;
    localSize = file.Size();
    if (localSize < 0) return Status(cvErrorAccessDenied);
  }
  if (method == 0) method = uint64_t(localSize) <= kChecksumLimit ? (kMethodSize | kMethodCrc | kMethodMd5) : kMethodSize;
  if (s.options & kOptSftp) method &= ~(kMethodCrc | kMethodMd5);
  if ((method & kMethodMd5) && (s.features & kFeatureXmd5)) return CompareChecksum(s, local, remote, kMethodMd5);
  if ((method & kMethodCrc) && (s.features & kFeatureXcrc)) return CompareChecksum(s, local, remote, kMethodCrc);
  if (method & kMethodSize) {
    uint64_t remoteSize = 0;
    if (const Result<int32_t> sized = QueryFileSize(s, remote, &remoteSize); !sized.ok()) return sized.status();
    if (remoteSize != uint64_t(localSize)) return Status(cvErrorFileSizeMismatch);
    return {};
  }
  return Status(cvErrorOperationNotSupported);
}

}  // namespace cvftp

namespace {

cvftp::Status LocalChecksumInto(const char* local, char* text, uint32_t method) noexcept {
  using cvftp::Status;
  if (!text) return Status(cvErrorInvalidParameter);
  text[0] = '\0';
  if (cvftp::Empty(local)) return Status(cvErrorInvalidFileName);
  if (method != 2 && method != 4) return Status(cvErrorInvalidParameter);
  char out[33];
  if (const Status summed = cvftp::LocalChecksum(local, method, out); !summed.ok()) return summed;
  std::memcpy(text, out, std::strlen(out) + 1);
  return {};
}

}  // namespace

int32_t FtpLocalChecksum(const char* local, char* text, uint32_t method) {
  return cvftp::Library().Finish(LocalChecksumInto(local, text, method), 1, 0);
}

int32_t FtpVerifyFile(LibHandle handle, const char* local, const char* remote, uint32_t method) {
  cvftp::Operation op(handle);
  if (!op) return 0;
  FtpSession& s = *op.session();
  return cvftp::FinishOn(s, cvftp::VerifyFile(s, local, remote, method), 1, 0);
}
