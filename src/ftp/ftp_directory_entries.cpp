// The entry list of a session's listing and the parsing of one line into it.
#include <cstring>
#include <mutex>

#include "ftp/ftp_directory.h"
#include "ftp/ftp_internal.h"
#include "ftp/listing/list_parser.h"

namespace cvftp {

Result<ListState*> Entries(FtpSession& s) noexcept {
  if (!s.listingEntries) {
    s.listingEntries = MemSessionAlloc(s.header.handle, sizeof(ListState));
    if (!s.listingEntries) return Status(cvErrorOutOfMemory);
  }
  return static_cast<ListState*>(s.listingEntries);
}

void FreeEntry(FtpSession& s, FtpListEntry* entry) noexcept {
  if (entry) MemSessionFree(s.header.handle, entry);
}

void ClearEntries(FtpSession& s) noexcept {
  std::lock_guard<plat::RecursiveLock> lock(Library().lock());
  s.listingLineLength = 0;
  auto* list = static_cast<ListState*>(s.listingEntries);
  if (!list) return;
  for (FtpListEntry* e = list->head; e;) {
    FtpListEntry* next = e->next;
    FreeEntry(s, e);
    e = next;
  }
  *list = ListState{};
}

FtpListEntry* TakeEntries(FtpSession& s) noexcept {
  std::lock_guard<plat::RecursiveLock> lock(Library().lock());
  auto* list = static_cast<ListState*>(s.listingEntries);
  if (!list) return nullptr;
  FtpListEntry* head = list->head;
  *list = ListState{};
  return head;
}

void AppendEntry(FtpSession& s, FtpListEntry* entry) noexcept {
  std::lock_guard<plat::RecursiveLock> lock(Library().lock());
  const Result<ListState*> entries = Entries(s);
  ListState* list = entries.ok() ? entries.value() : nullptr;
  if (!list || !entry) return;
  entry->next = nullptr;
  if (list->tail)
    list->tail->next = entry;
  else
    list->head = entry;
  list->tail = entry;
  if (!list->cursor) list->cursor = entry;
}

Result<FtpListEntry*> ParseListLine(FtpSession& s, const char* line) noexcept {
  if (Empty(line)) return Status(cvErrorUnknownDirectoryFormat);
  const size_t length = std::strlen(line);
  void* block = MemSessionAlloc(s.header.handle, listing::EntryBlockSize(length));
  if (!block) return Status(cvErrorOutOfMemory);
  FtpListEntry* e = listing::PlaceEntry(block, std::string_view(line, length));
  const listing::ParseContext context = listing::ContextNow(s.systemType, IsSftpSession(s));
  switch (listing::ParseLine(*e, context, s.directoryFormat)) {
    case listing::LineResult::Entry:
      return e;
    case listing::LineResult::Incomplete:
      FreeEntry(s, e);
      return static_cast<FtpListEntry*>(nullptr);
    case listing::LineResult::Unknown:
      break;
  }
  FreeEntry(s, e);
  return Status(cvErrorUnknownDirectoryFormat);
}

}  // namespace cvftp
