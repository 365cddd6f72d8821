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

// A "-ERR" answer (no error set) is the operation's own code; a failed exchange keeps its error.
int32_t Refused(uint32_t code) noexcept { return Fail(LastError() ? LastError() : code); }

// Message number and login checks shared by every operation on one message.
int32_t CheckMessage(const Pop3Session& s, uint32_t message) noexcept {
  if (message == 0) return Fail(cvErrorInvalidMessageNumber);
  if (!s.loggedIn) return Fail(cvErrorAuthenticationRequired);
  return 0;
}

}  // namespace

int32_t GetMessageSize(Pop3Session& s, uint32_t message) noexcept {
  if (CheckMessage(s, message) != 0) return -1;
  if (message == s.currentMessage.load() && s.currentSize.load()) return int32_t(s.currentSize.load());
  char number[16];
  std::snprintf(number, sizeof number, "%u", message);
  if (SendCommand(s, "LIST", number) != 1) return Refused(cvErrorInvalidMessageNumber);
  // "<number> <size>": skip the number and what follows it, then read the size.
  const char* p = s.replyText;
  while (IsDigit(*p)) ++p;
  while (*p && !IsDigit(*p)) ++p;
  if (!IsDigit(*p)) return Fail(cvErrorInvalidServerResponse);
  uint64_t size = 0;
  while (IsDigit(*p) && size <= 0x7FFFFFFF) size = size * 10 + uint32_t(*p++ - '0');
  if (size > 0x7FFFFFFF) return Fail(cvErrorInvalidServerResponse);
  // Only the message being read has a cache: a look-up of another one leaves it alone.
  if (message == s.currentMessage.load()) s.currentSize.store(uint32_t(size));
  return int32_t(size);
}

int32_t GetMessageUid(Pop3Session& s, uint32_t message, char* buffer, uint32_t size) noexcept {
  if (CheckMessage(s, message) != 0) return -1;
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
  if (SendCommand(s, "UIDL", number) != 1) return Refused(cvErrorInvalidMessageNumber);
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

}  // namespace cvpop3

using namespace cvpop3;

int32_t Pop3GetMessageCount(LibHandle handle) { return Pop3GetMailboxStatus(handle, nullptr, nullptr); }

int32_t Pop3GetMailboxStatus(LibHandle handle, uint32_t* lastMessage, uint32_t* size) {
  Operation op(handle);
  if (!op) return -1;
  if (!op->loggedIn) return Fail(cvErrorAuthenticationRequired);
  if (lastMessage) *lastMessage = op->lastMessage;
  if (size) *size = op->mailboxSize >= op->deletedOctets ? op->mailboxSize - op->deletedOctets : 0;
  return int32_t(op->messageCount);
}

int32_t Pop3GetMessageSize(LibHandle handle, uint32_t message) {
  Operation op(handle);
  if (!op) return -1;
  return GetMessageSize(*op, message);
}

int32_t Pop3GetMessageUid(LibHandle handle, uint32_t message, char* buffer, uint32_t size) {
  Operation op(handle);
  if (!op) return -1;
  return GetMessageUid(*op, message, buffer, size);
}

int32_t Pop3DeleteMessage(LibHandle handle, uint32_t message) {
  Operation op(handle);
  if (!op) return -1;
  Pop3Session& s = *op;
  const int32_t size = GetMessageSize(s, message);
  if (size < 0) return -1;
  s.currentMessage.store(0);
  s.currentSize.store(0);
  s.currentUid[0] = '\0';
  s.bytesCopied.store(0);
  char number[16];
  std::snprintf(number, sizeof number, "%u", message);
  if (SendCommand(s, "DELE", number) != 1) return Refused(cvErrorInvalidMessageNumber);
  s.deletedOctets += uint32_t(size);
  if (s.messageCount) --s.messageCount;
  return 0;
}

int32_t Pop3Reset(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  Pop3Session& s = *op;
  if (!s.loggedIn) return Fail(cvErrorAuthenticationRequired), 0;
  s.currentMessage.store(0);
  s.currentSize.store(0);
  s.currentUid[0] = '\0';
  s.deletedOctets = 0;
  s.bytesCopied.store(0);
  s.endTick.store(0);
  s.messageCount = s.lastMessage;
  if (SendCommand(s, "RSET", nullptr) != 1) {
    if (!LastError()) Fail(cvErrorInvalidCommand);
    return 0;
  }
  if (SendCommand(s, "STAT", nullptr) == 1) ParseStat(s);
  ClearError();
  return 1;
}
