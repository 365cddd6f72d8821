// Mailbox operations of a logged-in session: the STAT counters, a message's size (LIST)
// and unique id (UIDL), deleting (DELE) and undeleting (RSET).
#include <cctype>
#include <cstdio>
#include <cstring>

#include "pop3/pop3_internal.h"

namespace cvpop3 {

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Message number and login checks shared by every operation on one message.
Status CheckMessage(const Pop3Session& s, uint32_t message) noexcept {
  if (message == 0) return Status(cvErrorInvalidMessageNumber);
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  return {};
}

}  // namespace

Result<int32_t> GetMessageSize(Pop3Session& s, uint32_t message) noexcept {
  if (const Status checked = CheckMessage(s, message); !checked.ok()) return checked;
  if (message == s.currentMessage.load() && s.currentSize.load()) return int32_t(s.currentSize.load());
  char number[16];
  std::snprintf(number, sizeof number, "%u", message);
  if (const Status listed = Accepted(SendCommand(s, "LIST", number), cvErrorInvalidMessageNumber); !listed.ok())
    return listed;
  // "<number> <size>": skip the number and what follows it, then read the size.
  const char* p = s.replyText;
  while (IsDigit(*p)) ++p;
  while (*p && !IsDigit(*p)) ++p;
  if (!IsDigit(*p)) return Status(cvErrorInvalidServerResponse);
  uint64_t size = 0;
  while (IsDigit(*p) && size <= 0x7FFFFFFF) size = size * 10 + uint32_t(*p++ - '0');
  if (size > 0x7FFFFFFF) return Status(cvErrorInvalidServerResponse);
  // Only the message being read has a cache: a look-up of another one leaves it alone.
  if (message == s.currentMessage.load()) s.currentSize.store(uint32_t(size));
  return int32_t(size);
}

Result<int32_t> GetMessageUid(Pop3Session& s, uint32_t message, char* buffer, uint32_t size) noexcept {
  if (const Status checked = CheckMessage(s, message); !checked.ok()) return checked;
  const bool current = message == s.currentMessage.load();
  auto handOut = [&](const char* uid) {
    if (buffer && size) std::snprintf(buffer, size, "%s", uid);
    return int32_t(std::strlen(uid));
  };
  if (current && s.currentUid[0]) return handOut(s.currentUid);
  if (!(s.capabilities & kPop3CapabilityUidl)) {
    if (current) s.currentUid[0] = '\0';
    if (buffer && size) buffer[0] = '\0';
    return 0;
  }
  char number[16];
  std::snprintf(number, sizeof number, "%u", message);
  if (const Status listed = Accepted(SendCommand(s, "UIDL", number), cvErrorInvalidMessageNumber); !listed.ok())
    return listed;
  const char* p = s.replyText;
  while (IsDigit(*p)) ++p;
  while (IsSpace(*p)) ++p;
  char uid[kPop3UidSize];
  size_t length = strnlen(p, sizeof uid - 1);  // longer ids are cut
  std::memcpy(uid, p, length);
  uid[length] = '\0';
  while (length > 0 && IsSpace(uid[length - 1])) uid[--length] = '\0';
  if (current) std::memcpy(s.currentUid, uid, length + 1);
  return handOut(uid);
}

Status ResetMailbox(Pop3Session& s) noexcept {
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  s.currentMessage.store(0);
  s.currentSize.store(0);
  s.currentUid[0] = '\0';
  s.deletedOctets = 0;
  s.bytesCopied.store(0);
  s.endTick.store(0);
  s.messageCount = s.lastMessage;
  if (const Status reset = Accepted(SendCommand(s, "RSET", nullptr), cvErrorInvalidCommand); !reset.ok()) return reset;
  // The counters stay as they were when STAT is not answered: the reset stands.
  if (const Result<int32_t> stat = SendCommand(s, "STAT", nullptr); stat.ok() && stat.value() == 1) ParseStat(s);
  return {};
}

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3GetMessageCount(LibHandle handle) { return Pop3GetMailboxStatus(handle, nullptr, nullptr); }

int32_t Pop3GetMailboxStatus(LibHandle handle, uint32_t* lastMessage, uint32_t* size) {
  Operation op(handle);
  if (!op) return -1;
  if (!op->loggedIn) return Finish(Status(cvErrorAuthenticationRequired));
  if (lastMessage) *lastMessage = op->lastMessage;
  if (size) *size = op->mailboxSize >= op->deletedOctets ? op->mailboxSize - op->deletedOctets : 0;
  return int32_t(op->messageCount);
}

int32_t Pop3GetMessageSize(LibHandle handle, uint32_t message) {
  Operation op(handle);
  if (!op) return -1;
  // A size the session knows leaves the last error alone; one asked of the server, as
  // every exchange, leaves none.
  const bool known = message == op->currentMessage.load() && op->currentSize.load();
  const Result<int32_t> size = GetMessageSize(*op, message);
  return known ? Finish(size) : FinishExchange(size);
}

int32_t Pop3GetMessageUid(LibHandle handle, uint32_t message, char* buffer, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  const bool known =
      (message == op->currentMessage.load() && op->currentUid[0]) || !(op->capabilities & kPop3CapabilityUidl);
  const Result<int32_t> uid = GetMessageUid(*op, message, buffer, size);
  return known ? Finish(uid) : FinishExchange(uid);
}

int32_t Pop3DeleteMessage(LibHandle handle, uint32_t message) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  const Result<int32_t> size = GetMessageSize(s, message);
  if (!size.ok()) return Finish(size);
  s.currentMessage.store(0);
  s.currentSize.store(0);
  s.currentUid[0] = '\0';
  s.bytesCopied.store(0);
  char number[16];
  std::snprintf(number, sizeof number, "%u", message);
  if (const Status deleted = Accepted(SendCommand(s, "DELE", number), cvErrorInvalidMessageNumber); !deleted.ok())
    return Finish(deleted);
  s.deletedOctets += uint32_t(size.value());
  if (s.messageCount) --s.messageCount;
  return FinishExchange(0);
}

int32_t Pop3Reset(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  const Status reset = ResetMailbox(*op);
  return FinishExchange(reset.ok() ? Result<int32_t>(1) : Result<int32_t>(reset), 0);
}
