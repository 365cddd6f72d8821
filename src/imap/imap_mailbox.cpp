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

// Sends a mailbox command with the name in its wire form: the completion's id.
Result<int32_t> MailboxCommand(ImapSession& s, const char* command, const char* name) {
  const std::string wire = WireMailboxName(name);
  if (wire.empty()) return Status(cvErrorInvalidMailbox);
  return SendCommand(s, command, wire.c_str());
}

// Reads the untagged responses of a command started with SendUntagged and hands each to
// fn (which gives its outcome) up to the tagged OK.
template <typename Fn>
Status EachResponse(ImapSession& s, Fn&& fn) {
  for (;;) {
    const Result<int32_t> id = ReadResponse(s);
    if (!id.ok()) return id.status();
    if (s.lastTagged) {
      if (id.value() == int32_t(kImapResponseOk)) return {};
      const uint32_t refused = ResponseError(id.value());
      return Status(refused ? refused : cvErrorUnexpectedServerResponse);
    }
    if (const Status taken = fn(id.value()); !taken.ok()) {
      FinishUntagged(s);
      return taken;
    }
  }
}

// Whether the mailbox is selected already in the mode asked for (nothing to send).
bool AlreadyOpen(const ImapSession& s, const char* name, uint32_t options) {
  const uint32_t readWrite = (options & kImapOpenReadOnly) ? 0 : 1;
  return !(options & kImapOpenReselect) && s.mailboxSelected && s.readWrite == readWrite &&
         std::strcmp(s.mailboxName, name) == 0;
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

Result<int32_t> OpenMailbox(ImapSession& s, const char* name, ImapMailboxStatus* status, uint32_t options) noexcept {
  if (const Status login = NeedLogin(s); !login.ok()) return login;
  if (!ValidName(name)) return Status(cvErrorInvalidMailbox);
  const uint32_t readWrite = (options & kImapOpenReadOnly) ? 0 : 1;
  if (AlreadyOpen(s, name, options)) {
    FillStatus(s, status);
    return 0;
  }
  const std::string wire = WireMailboxName(name);
  if (wire.empty()) return Status(cvErrorInvalidMailbox);
  if (s.mailboxSelected && !(options & kImapOpenKeepCurrent)) {
    if (const Result<int32_t> closed = SendCommand(s, "CLOSE", nullptr); !closed.ok()) return closed;
    ClearMailboxState(s);
  }
  ClearMailboxState(s);
  std::snprintf(s.mailboxName, sizeof s.mailboxName, "%s", name);
  s.readWrite = readWrite;
  const Result<int32_t> id = SendCommand(s, readWrite ? "SELECT" : "EXAMINE", wire.c_str());
  if (!id.ok()) {
    // A refused selection leaves the server with no mailbox selected.
    s.mailboxName[0] = '\0';
    return id;
  }
  FillStatus(s, status);
  s.mailboxSelected = 1;
  return id;
}

Result<int32_t> UnselectMailbox(ImapSession& s, bool expunge) noexcept {
  if (const Status selected = NeedMailbox(s); !selected.ok()) return selected;
  Result<int32_t> id = Status(cvErrorInvalidMailbox);
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
    if (!wire.empty()) {
      id = SendCommand(s, "EXAMINE", wire.c_str());
      if (id.ok()) id = SendCommand(s, "CLOSE", nullptr);
    }
  }
  if (!id.ok()) return id;
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
  if (!name) return Finish(Status(cvErrorInvalidParameter));
  ImapMailboxEntry* e = s.listCursor;
  if (!e) return Finish(Status(cvErrorNoMoreMailboxes));
  const size_t length = std::strlen(e->name);
  if (length >= kImapMailboxNameSize) return Finish(Status(cvErrorBufferTooSmall));
  std::memcpy(name, e->name, length + 1);
  if (attributes) *attributes = e->attributes;
  s.listCursor = e->next;
  return FinishExchange(int32_t(length));
}

int32_t ImapGetFirstMailbox(LibHandle handle, char* name, uint32_t* attributes) {
  {
    Operation op(handle);
    if (!op) return -1;
    ImapSession& s = *op;
    if (!name) return Finish(Status(cvErrorInvalidParameter));
    if (const Status login = NeedLogin(s); !login.ok()) return Finish(login);
    FreeMailboxList(s);
    if (const Status sent = SendUntagged(s, "LIST", "\"\" \"%\""); !sent.ok()) return Finish(sent);
    const Status listed = EachResponse(s, [&](int32_t id) -> Status {
      if (id != int32_t(kImapResponseList) && id != int32_t(kImapResponseLsub)) return {};
      const uint32_t bits = ImapParseFlagList(s.responseText);
      const std::string listed = ListedName(s.responseText);
      char decoded[kImapMailboxNameSize];
      ImapDecodeMailboxName(listed.c_str(), decoded);
      if (!decoded[0] || decoded[0] == '.' || (bits & kImapFlagNoSelect)) return {};
      auto* e = static_cast<ImapMailboxEntry*>(cvcore::HeapBlockAlloc(cvcore::EnsureHeap(s.heap), sizeof(ImapMailboxEntry)));
      if (!e) return Status(cvErrorOutOfMemory);
      std::memcpy(e->name, decoded, sizeof decoded);
      e->attributes = bits;
      e->next = nullptr;
      (s.listTail ? s.listTail->next : s.listHead) = e;
      s.listTail = e;
      return {};
    });
    if (!listed.ok()) return Finish(listed);
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
  // A mailbox open already answers without the server, and leaves no error.
  const bool open = op->loggedIn && ValidName(name) && AlreadyOpen(*op, name, options);
  const Result<int32_t> id = OpenMailbox(*op, name, status, options);
  return open ? FinishExchange(id) : FinishResponse(id);
}

int32_t ImapUnselectMailbox(LibHandle handle, int32_t expunge) {
  Operation op(handle);
  if (!op) return -1;
  return FinishResponse(UnselectMailbox(*op, expunge != 0));
}

int32_t ImapCreateMailbox(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  if (!ValidName(name) || IsInbox(name)) return Finish(Status(cvErrorInvalidMailbox));
  if (const Status login = NeedLogin(*op); !login.ok()) return Finish(login);
  return FinishResponse(MailboxCommand(*op, "CREATE", name));
}

int32_t ImapDeleteMailbox(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!ValidName(name) || IsInbox(name)) return Finish(Status(cvErrorInvalidMailbox));
  if (const Status login = NeedLogin(s); !login.ok()) return Finish(login);
  if (s.mailboxSelected && std::strcmp(s.mailboxName, name) == 0)
    if (const Result<int32_t> left = UnselectMailbox(s, true); !left.ok()) return Finish(left);
  return FinishResponse(MailboxCommand(s, "DELETE", name));
}

int32_t ImapRenameMailbox(LibHandle handle, const char* oldName, const char* newName) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!ValidName(oldName) || !ValidName(newName) || std::strcmp(oldName, newName) == 0)
    return Finish(Status(cvErrorInvalidMailbox));
  if (const Status login = NeedLogin(s); !login.ok()) return Finish(login);
  const std::string from = WireMailboxName(oldName);
  const std::string to = WireMailboxName(newName);
  if (from.empty() || to.empty()) return Finish(Status(cvErrorInvalidMailbox));
  const bool wasSelected = s.mailboxSelected && std::strcmp(s.mailboxName, oldName) == 0;
  const uint32_t mode = (s.readWrite ? 0 : kImapOpenReadOnly) | kImapOpenReselect;
  if (wasSelected)
    if (const Result<int32_t> left = UnselectMailbox(s, true); !left.ok()) return Finish(left);
  const Result<int32_t> renamed = SendCommand(s, "RENAME", (from + ' ' + to).c_str());
  if (wasSelected) {
    // INBOX stays after its messages moved; a refused rename leaves the old name in place,
    // and its refusal stays the outcome.
    const char* again = !renamed.ok() || IsInbox(oldName) ? oldName : newName;
    if (const Result<int32_t> reopened = OpenMailbox(s, again, nullptr, mode); !reopened.ok() && renamed.ok())
      return Finish(reopened);
  }
  if (!renamed.ok()) return Finish(renamed);
  return FinishExchange(1);
}

int32_t ImapCheckMailbox(LibHandle handle, uint32_t* messages, uint32_t* recent) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (messages) *messages = 0;
  if (recent) *recent = 0;
  if (const Status selected = NeedMailbox(s); !selected.ok()) return Finish(selected);
  s.recent = 0;
  if (const Result<int32_t> checked = SendCommand(s, "CHECK", nullptr); !checked.ok()) return Finish(checked);
  if (const Result<int32_t> nothing = SendCommand(s, "NOOP", nullptr); !nothing.ok()) return Finish(nothing);
  if (messages) *messages = s.exists;
  if (recent) *recent = s.recent;
  return FinishExchange(0);
}

int32_t ImapSearchMailbox(LibHandle handle, const char* criteria, const char* charset, uint32_t* numbers,
                          int32_t capacity) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (!criteria || !*criteria) return Finish(Status(cvErrorInvalidParameter));
  if (numbers && capacity < 1) return Finish(Status(cvErrorBufferTooSmall));
  if (const Status selected = NeedMailbox(s); !selected.ok()) return Finish(selected);
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
  if (const Status sent = SendUntagged(s, "SEARCH", argument.c_str()); !sent.ok()) return Finish(sent);
  if (const Status read = EachResponse(s, [](int32_t) { return Status(); }); !read.ok()) return Finish(read);
  return FinishExchange(found.found());
}

int32_t ImapGetMailboxSize(LibHandle handle, const char* name) {
  Operation op(handle);
  if (!op) return -1;
  ImapSession& s = *op;
  if (const Status login = NeedLogin(s); !login.ok()) return Finish(login);
  const bool wasSelected = s.mailboxSelected != 0;
  const std::string former = s.mailboxName;
  const uint32_t formerMode = s.readWrite ? 0 : kImapOpenReadOnly;
  const bool other = name && *name && !(wasSelected && former == name);
  // Putting the former selection back is clean-up: a failure before it stays the outcome.
  const auto restore = [&] {
    if (wasSelected)
      static_cast<void>(OpenMailbox(s, former.c_str(), nullptr, formerMode | kImapOpenKeepCurrent | kImapOpenReselect));
    else if (other) static_cast<void>(UnselectMailbox(s, true));
  };
  if (other) {
    // Looked at read-only beside the current mailbox: measuring never expunges anything.
    const Result<int32_t> opened =
        OpenMailbox(s, name, nullptr, kImapOpenReadOnly | kImapOpenKeepCurrent | kImapOpenReselect);
    if (!opened.ok()) {
      if (wasSelected) restore();
      return Finish(opened);
    }
  } else if (const Status selected = NeedMailbox(s); !selected.ok()) {
    return Finish(selected);
  }
  uint64_t total = 0;
  Status fetched;
  if (s.exists > 0) {
    fetched = SendUntagged(s, "FETCH", "1:* (RFC822.SIZE)");
    if (fetched.ok())
      fetched = EachResponse(s, [&](int32_t id) {
        uint32_t size = 0;
        if (id == int32_t(kImapResponseFetch) && NumberAfter(s.responseText, "RFC822.SIZE", &size)) total += size;
        return Status();
      });
  }
  if (other) restore();
  if (!fetched.ok()) return Finish(fetched);
  return FinishExchange(int32_t(std::min<uint64_t>(total, 0x7FFFFFFF)));
}
