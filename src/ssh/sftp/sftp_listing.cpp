// The directory listing of an SFTP session: read whole, filtered by a wildcard mask,
// sorted by name, and handed out as listing lines in the form the FTP parser reads.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/errors/error_codes.h"
#include "core/sock/sock.h"
#include "platform/base/tick.h"
#include "ssh/sftp/sftp.h"
#include "ssh/sftp/sftp_exchange.h"
#include "ssh/sftp/sftp_session.h"
#include "ssh/sftp/sftp_time.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"
#include "ssh/util/wildcard.h"

namespace {

bool CompareEntries(const SftpNameEntry* a, const SftpNameEntry* b) {
  return std::strcmp(a->fileName, b->fileName) < 0;
}

// Splits a path into the directory to list and the mask (empty: every entry). False
// when the directory part holds a wildcard itself.
bool SplitMask(const char* path, std::string* directory, std::string* mask) {
  std::vector<char> literal(std::strlen(path) + 1);
  if (WildcardToLiteral(literal.data(), path)) {
    *directory = literal.data();
    mask->clear();
    return true;
  }
  *mask = SftpBaseName(path);
  const char* slash = std::strrchr(path, '/');
  std::string part = slash ? std::string(path, size_t(slash - path) + 1) : std::string();
  if (part.size() > 1 && part.back() == '/') part.pop_back();
  if (!WildcardToLiteral(nullptr, part.c_str())) return false;
  std::vector<char> unescaped(part.size() + 1);
  WildcardToLiteral(unescaped.data(), part.c_str());
  *directory = unescaped.data();
  return true;
}

void FireWithInfo(SshSession* s, uint32_t code) { SshFireEvent(s, code, SshGetEventInfo(s)); }

}  // namespace

int32_t SftpOpenDirectory(SshSession* s, const char* path) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  if (!path || !*path) path = ".";
  std::string directory, mask;
  if (!SplitMask(path, &directory, &mask)) {
    SshSetLastError(s, cvErrorDirectoryNotFound);
    return 0;
  }
  char* resolved = directory.empty() ? DupString(SftpCurrentDirectory(s)) : SftpResolvePath(s, directory.c_str());
  if (!resolved) return 0;
  SftpHandle* handle = cvssh::sftp::OpenDir(s, resolved);
  if (!handle) {
    // The stored listing is left as it is; the server's refusal (a missing directory,
    // access denied) is the caller's error, not an empty listing.
    CheckedFree(resolved);
    if (!SshGetLastError(s)) SshSetLastError(s, cvErrorDirectoryNotFound);
    return 0;
  }
  SftpEventInfo info{};
  info.flags = 4;
  info.directory = resolved;
  info.startTick = plat::GetTickCount();
  SshSetEventInfo(s, &info);
  FireWithInfo(s, kSftpEventListStart);
  SockYield(0);

  std::vector<SftpNameEntry*> kept;
  bool aborted = false;
  for (;;) {
    if (SshTestAndClearAbort(s)) {
      aborted = true;
      break;
    }
    SftpNameList* list = cvssh::sftp::ReadDir(s, handle);
    if (!list || list->count == 0) {
      SftpFreeNames(list);
      break;
    }
    if (kept.size() + size_t(list->count) > kept.capacity()) kept.reserve(kept.size() + size_t(list->count) + 128);
    for (int32_t i = 0; i < list->count; ++i) {
      const SftpNameEntry& e = list->entries[i];
      if (!mask.empty() && WildcardMatch(mask.c_str(), e.fileName) != 1) continue;
      auto* copy = static_cast<SftpNameEntry*>(cvssh::AllocOrDie(sizeof(SftpNameEntry)));
      SftpCopyNameEntry(copy, &e);
      kept.push_back(copy);
    }
    SftpFreeNames(list);
    SockYield(0);
  }
  if (aborted) {
    SshSetLastError(s, cvErrorOperationCanceled);
    FireWithInfo(s, kSftpEventCanceled);
    for (SftpNameEntry* e : kept) SftpFreeNameEntry(e);
  }
  // The CLOSE's own status must not hide why the listing ended.
  uint32_t error = SshGetLastError(s);
  cvssh::sftp::Close(s, handle);
  SshSetLastError(s, error);
  if (aborted) return 0;

  std::sort(kept.begin(), kept.end(), CompareEntries);
  auto** array = static_cast<SftpNameEntry**>(cvssh::AllocOrDie(sizeof(SftpNameEntry*) * (kept.size() + 1)));
  std::copy(kept.begin(), kept.end(), array);
  SftpSetListing(s, array, int32_t(kept.size()));
  if (SftpEventInfo* stored = SshGetEventInfo(s)) {
    stored->entryCount = uint32_t(kept.size());
    stored->endTick = plat::GetTickCount();
  }
  FireWithInfo(s, kSftpEventListEnd);
  return 1;
}

int32_t SftpCloseDirectory(SshSession* s) {
  if (!s) return 0;
  SftpSetListing(s, nullptr, 0);
  return 1;
}

int32_t SftpGetListPosition(SshSession* s, uint32_t* count, uint32_t* read) {
  if (!s) return 0;
  if (count) *count = uint32_t(s->listingCount);
  if (read) *read = uint32_t(SftpGetListIndex(s) + 1);
  return 1;
}

int32_t SftpFormatListEntry(SshSession* s, char* line) {
  int32_t count;
  SftpNameEntry** listing = SftpGetListing(s, &count);
  if (count < 1 || !listing) {
    SshSetLastError(s, cvErrorEndOfDirectory);
    return 0;
  }
  int32_t index = SftpGetListIndex(s) + 1;
  if (index >= count || !line) {
    SshSetLastError(s, cvErrorInvalidParameter);
    return 0;
  }
  const SftpNameEntry* e = listing[index];
  const SftpAttributes& a = e->attributes;
  SYSTEMTIME t;
  if (!cvssh::sftp::UnixToUtc(a.modificationTime, &t)) {
    SshSetLastError(s, cvErrorInvalidDateFormat);
    return 0;
  }
  std::snprintf(line, kSftpListLineSize, "%" PRIu32 " %d %" PRIu32 " %" PRIu32 " %" PRIu64 " %02d-%02d-%04d %02d:%02d:%02d %s",
                a.permissions, 1, a.uid, a.gid, a.size, t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute, t.wSecond,
                e->fileName);
  s->listingPosition = index;
  return 1;
}

int32_t SftpGetFileList(SshSession* s, const char* path, uint32_t flags, char* buffer, uint32_t size) {
  if (!s) {
    SshSetLastError(nullptr, cvErrorInvalidHandle);
    return 0;
  }
  if (!buffer) {
    SshSetLastError(s, cvErrorInvalidParameter);
    return 0;
  }
  if (size < 2) {
    SshSetLastError(s, cvErrorBufferTooSmall);
    return 0;
  }
  buffer[0] = 0;
  if (!SftpOpenDirectory(s, path)) return 0;
  int32_t count;
  SftpNameEntry** listing = SftpGetListing(s, &count);
  size_t used = 0;
  const size_t room = size - 1;
  for (int32_t i = 0; i < count; ++i) {
    const char* text = (flags & 1) ? listing[i]->fileName : listing[i]->longName;
    size_t n = std::strlen(text);
    if (used + n + 2 > room) {
      size_t fit = std::min(n, room - used);
      std::memcpy(buffer + used, text, fit);
      used += fit;
      break;
    }
    std::memcpy(buffer + used, text, n);
    used += n;
    buffer[used++] = '\r';
    buffer[used++] = '\n';
  }
  buffer[used] = 0;
  SftpCloseDirectory(s);
  return 1;
}
