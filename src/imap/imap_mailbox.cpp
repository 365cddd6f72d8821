// Mailbox operations: the top-level mailbox list, selecting and leaving a mailbox,
// creating, deleting and renaming (INBOX rules), CHECK, SEARCH and the total size.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/heap/private_heap.h"
#include "imap/imap_internal.h"
#include "imap/imap_search.h"

namespace cvimap {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

bool ValidName(const char* name) {
  if (!name) return false;
  const size_t n = std::strlen(name);
  return n >= 1 && n <= kImapMailboxNameSize - 1;
}

bool IsInbox(const char* name) { return strcasecmp(name, "INBOX") == 0; }

// The mailbox name of a LIST or LSUB response's text: the token after the attribute list
// and the hierarchy delimiter (quoted strings unescaped).
std::string ListedName(const char* text) {
  const char* p = std::strchr(text, ')');
  p = p ? p + 1 : text;
  auto token = [&p]() {
    while (IsSpace(*p)) ++p;
    std::string out;
    if (*p == '"') {
      for (++p; *p && *p != '"'; ++p) {
        if (*p == '\\' && p[1]) ++p;
        out += *p;
      }
      if (*p == '"') ++p;
    } else {
      while (*p && !IsSpace(*p)) out += *p++;
    }
    return out;
  };
  token();  // the delimiter
  return token();
}

void ClearMailboxState(ImapSession& s) {
  s.mailboxFlags = s.uidValidity = s.permanentFlags = s.uidNext = 0;
  s.exists = s.unseen = s.recent = 0;
  s.currentMessage.store(0);
  s.literalSize.store(0);
  s.mailboxSelected = 0;
}

void FillStatus(const ImapSession& s, ImapMailboxStatus* status) {
  if (!status) return;
  status->messages = s.exists;
  status->recent = s.recent;
  status->unseen = s.unseen;
  status->uidValidity = s.uidValidity;
  status->uidNext = s.uidNext;
  status->mailboxFlags = s.mailboxFlags;
  status->permanentFlags = s.permanentFlags;
  status->readWrite = s.readWrite;
}

// Sends a mailbox command with the name in its wire form.
int32_t MailboxCommand(ImapSession& s, const char* command, const char* name) {
  const std::string wire = WireMailboxName(name);
  if (wire.empty()) return Fail(cvErrorInvalidMailbox);
  return SendCommand(s, command, wire.c_str());
}

// Reads the untagged responses of a command started with SendUntagged and hands each to
// fn; true at its tagged OK, false with the error otherwise.
template <typename Fn>
bool EachResponse(ImapSession& s, Fn&& fn) {
  for (;;) {
    const int32_t id = ReadResponse(s);
    if (id < 0) return false;
    if (s.lastTagged) return id == int32_t(kImapResponseOk) || (Refused(cvErrorUnexpectedServerResponse), false);
    if (!fn(id)) {
      FinishUntagged(s);
      return false;
    }
  }
}

}  // namespace

void FreeMailboxList(ImapSession& s) noexcept {
  for (ImapMailboxEntry* e = s.listHead; e;) {
    ImapMailboxEntry* next = e->next;
    cvcore::HeapBlockFree(s.heap, e);
    e = next;
  }
  s.listHead = s.listTail = s.listCursor = nullptr;
}

int32_t OpenMailbox(ImapSession& s, const char* name, ImapMailboxStatus* status, uint32_t options) noexcept {
  if (!NeedLogin(s)) return -1;
  if (!ValidName(name)) return Fail(cvErrorInvalidMailbox);
  const uint32_t readWrite = (options & kImapOpenReadOnly) ? 0 : 1;
  if (!(options & kImapOpenReselect) && s.mailboxSelected && s.readWrite == readWrite &&
      std::strcmp(s.mailboxName, name) == 0) {
    FillStatus(s, status);
    ClearError();
    return 0;
  }
  const std::string wire = WireMailboxName(name);
  if (wire.empty()) return Fail(cvErrorInvalidMailbox);
  if (s.mailboxSelected && !(options & kImapOpenKeepCurrent)) {
    if (SendCommand(s, "CLOSE", nullptr) < 0) return -1;
    ClearMailboxState(s);
  }
  ClearMailboxState(s);
  std::snprintf(s.mailboxName, sizeof s.mailboxName, "%s", name);
  s.readWrite = readWrite;
  const int32_t id = SendCommand(s, readWrite ? "SELECT" : "EXAMINE", wire.c_str());
  if (id < 0) {
    // A refused selection leaves the server with no mailbox selected.
    s.mailboxName[0] = '\0';
    return -1;
  }
  FillStatus(s, status);
  s.mailboxSelected = 1;
  return id;
}

int32_t UnselectMailbox(ImapSession& s, bool expunge) noexcept {
  if (!NeedMailbox(s)) return -1;
  int32_t id = -1;
  if (expunge) {
    id = SendCommand(s, "CLOSE", nullptr);
  } else if (ImapFindText(s.capabilities, "UNSELECT")) {
    id = SendCommand(s, "UNSELECT", nullptr);
  } else if (!s.readWrite) {
    id = SendCommand(s, "CLOSE", nullptr);  // a read-only mailbox expunges nothing
  } else {
    // Selecting read-only leaves the mailbox without expunging; its CLOSE then removes
    // nothing. Every message keeps its deleted mark.
    const std::string wire = WireMailboxName(s.mailboxName);
    if (!wire.empty() && SendCommand(s, "EXAMINE", wire.c_str()) >= 0) id = SendCommand(s, "CLOSE", nullptr);
    else if (wire.empty()) Fail(cvErrorInvalidMailbox);
  }
  if (id < 0) return -1;
  ClearMailboxState(s);
  s.mailboxName[0] = '\0';
  return id;
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapGetNextMailbox(LibHandle handle, char* name, uint32_t* attributes) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!name) return Fail(cvErrorInvalidParameter);
  ImapMailboxEntry* e = s.listCursor;
  if (!e) return Fail(cvErrorNoMoreMailboxes);
  const size_t length = std::strlen(e->name);
  if (length >= kImapMailboxNameSize) return Fail(cvErrorBufferTooSmall);
  std::memcpy(name, e->name, length + 1);
  if (attributes) *attributes = e->attributes;
  s.listCursor = e->next;
  ClearError();
  return int32_t(length);
}

int32_t ImapGetFirstMailbox(LibHandle handle, char* name, uint32_t* attributes) {
  {
    Operation op(handle);
    if (!op) return -1;
    ImapSession& s = *op;
    if (!name) return Fail(cvErrorInvalidParameter);
    if (!NeedLogin(s)) return -1;
    FreeMailboxList(s);
    if (SendUntagged(s, "LIST", "\"\" \"%\"") < 0) return -1;
    const bool ok = EachResponse(s, [&](int32_t id) {
      if (id != int32_t(kImapResponseList) && id != int32_t(kImapResponseLsub)) return true;
      const uint32_t bits = ImapParseFlagList(s.responseText);
      const std::string listed = ListedName(s.responseText);
      char decoded[kImapMailboxNameSize];
      ImapDecodeMailboxName(listed.c_str(), decoded);
      if (!decoded[0] || decoded[0] == '.' || (bits & kImapFlagNoSelect)) return true;
      auto* e = static_cast<ImapMailboxEntry*>(cvcore::HeapBlockAlloc(cvcore::EnsureHeap(s.heap), sizeof(ImapMailboxEntry)));
      if (!e) return Fail(cvErrorOutOfMemory), false;
      std::memcpy(e->name, decoded, sizeof decoded);
      e->attributes = bits;
      e->next = nullptr;
      (s.listTail ? s.listTail->next : s.listHead) = e;
      s.listTail = e;
      return true;
    });
    if (!ok) return -1;
    s.listCursor = s.listHead;
  }
  return ImapGetNextMailbox(handle, name, attributes);
}

int32_t ImapSelectMailbox(LibHandle handle, const char* name, ImapMailboxStatus* status) {
  return ImapOpenMailbox(handle, name, status, 0);
}

int32_t ImapOpenMailbox(LibHandle handle, const char* name, ImapMailboxStatus* status, uint32_t options) {
  Operation op(handle);
  if (!op) return -1;
  return OpenMailbox(*op, name, status, options);
}

int32_t ImapUnselectMailbox(LibHandle handle, int32_t expunge) {
  Operation op(handle);
  if (!op) return -1;
  return UnselectMailbox(*op, expunge != 0);
}

int32_t ImapCreateMailbox(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  if (!ValidName(name) || IsInbox(name)) return Fail(cvErrorInvalidMailbox);
  if (!NeedLogin(*op)) return -1;
  return MailboxCommand(*op, "CREATE", name);
}

int32_t ImapDeleteMailbox(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!ValidName(name) || IsInbox(name)) return Fail(cvErrorInvalidMailbox);
  if (!NeedLogin(s)) return -1;
  if (s.mailboxSelected && std::strcmp(s.mailboxName, name) == 0 && UnselectMailbox(s, true) < 0) return -1;
  return MailboxCommand(s, "DELETE", name);
}

int32_t ImapRenameMailbox(LibHandle handle, const char* oldName, const char* newName) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!ValidName(oldName) || !ValidName(newName) || std::strcmp(oldName, newName) == 0)
    return Fail(cvErrorInvalidMailbox);
  if (!NeedLogin(s)) return -1;
  const std::string from = WireMailboxName(oldName);
  const std::string to = WireMailboxName(newName);
  if (from.empty() || to.empty()) return Fail(cvErrorInvalidMailbox);
  const bool wasSelected = s.mailboxSelected && std::strcmp(s.mailboxName, oldName) == 0;
  const uint32_t mode = (s.readWrite ? 0 : kImapOpenReadOnly) | kImapOpenReselect;
  if (wasSelected && UnselectMailbox(s, true) < 0) return -1;
  const int32_t renamed = SendCommand(s, "RENAME", (from + ' ' + to).c_str());
  if (wasSelected) {
    // INBOX stays after its messages moved; a refused rename leaves the old name in place.
    const char* again = renamed < 0 || IsInbox(oldName) ? oldName : newName;
    const uint32_t error = LastError();
    if (OpenMailbox(s, again, nullptr, mode) < 0 && renamed >= 0) return -1;
    Library().SetLastError(error);
  }
  if (renamed < 0) return -1;
  ClearError();
  return 1;
}

int32_t ImapCheckMailbox(LibHandle handle, uint32_t* messages, uint32_t* recent) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (messages) *messages = 0;
  if (recent) *recent = 0;
  if (!NeedMailbox(s)) return -1;
  s.recent = 0;
  if (SendCommand(s, "CHECK", nullptr) < 0 || SendCommand(s, "NOOP", nullptr) < 0) return -1;
  if (messages) *messages = s.exists;
  if (recent) *recent = s.recent;
  ClearError();
  return 0;
}

int32_t ImapSearchMailbox(LibHandle handle, const char* criteria, const char* charset, uint32_t* numbers,
                          int32_t capacity) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!criteria || !*criteria) return Fail(cvErrorInvalidParameter);
  if (numbers && capacity < 1) return Fail(cvErrorBufferTooSmall);
  if (!NeedMailbox(s)) return -1;
  std::string argument;
  if (charset && *charset) argument = std::string("CHARSET ") + charset + ' ';
  argument += criteria;
  if (argument.size() > 1023) argument.resize(1023);
  // The numbers are taken by the response reader as each SEARCH line streams in.
  SearchNumbers found(numbers, numbers ? capacity : 0);
  struct SinkScope {
    ImapSession& s;
    ~SinkScope() { s.searchSink = nullptr; }
  } scope{s};
  s.searchSink = &found;
  if (SendUntagged(s, "SEARCH", argument.c_str()) < 0) return -1;
  if (!EachResponse(s, [](int32_t) { return true; })) return -1;
  ClearError();
  return found.found();
}

int32_t ImapGetMailboxSize(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!NeedLogin(s)) return -1;
  const bool wasSelected = s.mailboxSelected != 0;
  const std::string former = s.mailboxName;
  const uint32_t formerMode = s.readWrite ? 0 : kImapOpenReadOnly;
  const bool other = name && *name && !(wasSelected && former == name);
  if (other) {
    // Looked at read-only beside the current mailbox: measuring never expunges anything.
    if (OpenMailbox(s, name, nullptr, kImapOpenReadOnly | kImapOpenKeepCurrent | kImapOpenReselect) < 0) {
      if (wasSelected) OpenMailbox(s, former.c_str(), nullptr, formerMode | kImapOpenKeepCurrent | kImapOpenReselect);
      return -1;
    }
  } else if (!NeedMailbox(s)) {
    return -1;
  }
  uint64_t total = 0;
  bool ok = true;
  uint32_t error = 0;
  if (s.exists > 0) {
    ok = SendUntagged(s, "FETCH", "1:* (RFC822.SIZE)") >= 0 && EachResponse(s, [&](int32_t id) {
           uint32_t size = 0;
           if (id == int32_t(kImapResponseFetch) && NumberAfter(s.responseText, "RFC822.SIZE", &size)) total += size;
           return true;
         });
    error = LastError();
  }
  if (other) {
    if (wasSelected) OpenMailbox(s, former.c_str(), nullptr, formerMode | kImapOpenKeepCurrent | kImapOpenReselect);
    else UnselectMailbox(s, true);
  }
  if (!ok) return Fail(error ? error : cvErrorUnexpectedServerResponse);
  ClearError();
  return int32_t(std::min<uint64_t>(total, 0x7FFFFFFF));
}
