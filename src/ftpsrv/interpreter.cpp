// The command interpreter: tokenising, the table's rules in their fixed order, the
// owner's command event, and the handler call.
#include <cctype>
#include <cstring>

#include "ftpsrv/ftpsrv_internal.h"
#include "platform/base/tick.h"
#include "sockets/server/server_pauses.h"

using namespace cvftpsrv;

namespace {

// Splits the line into the session's token buffer; false when a 257th token begins.
bool Tokenise(FtpServerSession& s, const char* line) {
  std::lock_guard lk(s.textLock);
  s.tokenCount = 0;
  s.tokenStart[0] = 0;
  uint32_t used = 0;
  uint32_t start = 0;
  char quote = 0;
  bool inToken = false;
  const size_t capacity = sizeof s.commandTokens;
  const unsigned char* first = reinterpret_cast<const unsigned char*>(line);
  for (const unsigned char* p = first; *p && used + 1 < capacity; ++p) {
    const unsigned char ch = *p;
    // Bytes from 0x80 up belong to names (UTF-8): only controls and the blank separate.
    if (ch >= 33) {
      if (!inToken) {
        if (s.tokenCount >= 256) return false;
        start = used;
        inToken = true;
      }
      if (ch == '"' || ch == '\'') quote = (quote == char(ch)) ? 0 : char(ch);
      s.commandTokens[used++] = char(ch);
    } else if (quote) {
      if (!inToken) {
        if (s.tokenCount >= 256) return false;
        start = used;
        inToken = true;
      }
      s.commandTokens[used++] = ' ';
    } else if (inToken) {
      s.commandTokens[used++] = '\0';
      s.tokenEnd[s.tokenCount] = uint16_t(p - first);
      s.tokenStart[s.tokenCount++] = uint16_t(start);
      inToken = false;
    }
  }
  if (inToken && used > start) {
    s.commandTokens[used++] = '\0';
    s.tokenEnd[s.tokenCount] = uint16_t(std::strlen(line));
    s.tokenStart[s.tokenCount++] = uint16_t(start);
  }
  if (used < capacity) s.commandTokens[used] = '\0';
  CopyText(s.commandLine, sizeof s.commandLine, line);
  return true;
}

void CountFailure(FtpServerSession& s) {
  if (s.failureCount++ >= 5) cvsock::ServerPause(1500);
}

}  // namespace

int32_t FtpExecuteCommand(uint64_t server, uint32_t clientId, const char* line) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  if (!line) return Fail(server, cvErrorInvalidCommand, 0);
  if (std::strlen(line) >= 1024) {
    Reply(c, 501, "Command line too long");
    return 0;
  }
  s.replySent.store(0);
  SetText(s, s.resolvedPath, "");
  s.bytesTransferred.store(0);
  if (!Tokenise(s, line)) {
    Reply(c, 501);
    return 0;
  }
  if (s.tokenCount == 0) {
    CountFailure(s);
    Reply(c, 500);
    return 0;
  }
  {
    std::lock_guard lk(s.textLock);
    for (char* p = s.commandTokens; *p; ++p) *p = char(std::toupper(static_cast<unsigned char>(*p)));
  }
  s.lastActivity.store(Now());
  ++s.commandCount;
  cvsock::ServerPause(10);

  if (r.callback) {
    if (!Notify(c, ftpEventCommand)) return 0;
    if (s.replySent.load()) return 1;
  }
  if ((r.options.load() & ftpServerRestricted) && !s.loggedIn.load() && s.commandCount > 20) {
    Reply(c, 421, "Too many unauthenticated commands");
    InetDisconnect(s.controlSocket);
    return 0;
  }
  const char* verb = Token(s, 0);
  uint32_t index = 0;
  const FtpCommandEntry* row = FindCommand(r.tables, verb, &index);
  if (!row) {
    CountFailure(s);
    ReplyF(c, 500, "%s command not recognized", verb);
    return 0;
  }
  if (!row->handler) {
    CountFailure(s);
    ReplyF(c, 502, "%s command not implemented", verb);
    return 0;
  }
  if (!(row->flags & (kCmdFile | kCmdPath | kCmdFreeCount)) && s.tokenCount - 1 != row->parameters) {
    Reply(c, 501);
    return 0;
  }
  if (!(row->flags & kCmdBeforeLogin) && !s.loggedIn.load()) {
    Reply(c, 530);
    return 0;
  }
  if (row->flags & kCmdDisabled) {
    ReplyF(c, 502, "%s command disabled", verb);
    return 0;
  }
  s.failureCount = 0;
  r.tables.useCounts[index].fetch_add(1);
  row->handler(c, row->flags);
  return 1;
}

int32_t FtpServerLoadTables(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  LoadTables(r->tables);
  return 1;
}

int32_t FtpServerGetCommandInfo(uint64_t server, const char* name, uint32_t* parameters, uint32_t* logLevel,
                                uint32_t* flags) {
  for (uint32_t* out : {parameters, logLevel, flags})
    if (out) *out = 0;
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  const FtpCommandEntry* row = FindCommand(r->tables, name);
  if (!row) return Fail(server, cvErrorInvalidCommand, 0);
  if (parameters) *parameters = row->parameters;
  if (logLevel) *logLevel = row->logLevel;
  if (flags) *flags = row->flags;
  return 1;
}

int32_t FtpServerGetSiteParameterCount(uint64_t server, const char* name, uint32_t* count) {
  if (count) *count = 0;
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  const FtpSiteCommandEntry* row = FindSite(r->tables, name);
  if (!row) return Fail(server, cvErrorInvalidCommand, 0);
  if (count) *count = row->parameters;
  return 1;
}

int32_t FtpServerGetFeatureFlags(uint64_t server, const char* name, uint32_t* flags) {
  if (flags) *flags = 0;
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  const FtpFeatureEntry* row = FindFeature(r->tables, name);
  if (!row) return Fail(server, cvErrorFeatureNotSupported, 0);
  if (flags) *flags = row->flags;
  return 1;
}
