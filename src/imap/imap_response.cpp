// Commands and responses: the tagged command sender, the response reader (untagged
// responses, continuations, tagged completions, literals inside untagged responses) and
// the parser with its response codes.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "imap/imap_internal.h"
#include "imap/imap_search.h"

namespace cvimap {

namespace {

struct TableRow {
  const char* keyword;
  uint32_t id;
};

// Searched in this order: the first match wins.
constexpr TableRow kCommands[] = {
    {"APPEND", 1},     {"AUTHENTICATE", 2}, {"CAPABILITY", 3}, {"CHECK", 4},     {"CLOSE", 5},
    {"COPY", 6},       {"CREATE", 7},       {"DELETE", 9},     {"DONE", 8},      {"EXAMINE", 10},
    {"EXPUNGE", 11},   {"FETCH", 12},       {"GETACL", 13},    {"GETQUOTA", 14}, {"IDLE", 15},
    {"LIST", 16},      {"LISTRIGHTS", 17},  {"LOGIN", 18},     {"LOGOUT", 19},   {"LSUB", 20},
    {"MYRIGHTS", 21},  {"NOOP", 22},        {"RENAME", 23},    {"SEARCH", 25},   {"SELECT", 26},
    {"SETACL", 27},    {"SETQUOTA", 28},    {"SCAN", 24},      {"SORT", 29},     {"STATUS", 30},
    {"STORE", 31},     {"SUBSCRIBE", 32},   {"THREAD", 33},    {"UID", 34},      {"UNSELECT", 35},
    {"UNSUBSCRIBE", 36},
};

constexpr TableRow kResponses[] = {
    {"OK", 1},      {"NO", 2},     {"BAD", 3},     {"CAPABILITY", 7}, {"ACL", 5},      {"BYE", 6},    {"EXISTS", 8},
    {"EXPUNGE", 9}, {"FETCH", 10}, {"FLAGS", 11},  {"LIST", 12},      {"LSUB", 13},    {"PREAUTH", 14},
    {"QUOTA", 15},  {"RECENT", 16}, {"SEARCH", 17}, {"SORT", 18},     {"STATUS", 19},  {"THREAD", 20},
};

constexpr uint32_t kCommandCapability = 3;
constexpr uint32_t kCommandExamine = 10;
constexpr uint32_t kCommandSelect = 26;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

const char* SkipSpace(const char* p) {
  while (*p && IsSpace(*p)) ++p;
  return p;
}

void Copy(char* out, size_t size, const char* text, size_t length) {
  const size_t n = std::min(length, size - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

void TrimRight(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && IsSpace(text[n - 1])) text[--n] = '\0';
}

// The IDLE thread writes the text while the owner may copy it out (ImapGetResponseText).
void SetResponseText(ImapSession& s, const char* text) {
  std::lock_guard lk(s.textLock);
  Copy(s.responseText, sizeof s.responseText, text, std::strlen(text));
  TrimRight(s.responseText);
}

// A response whose text ends with a literal the caller does not take itself: its bytes
// are read here and put in the text as a quoted string (short ones; longer ones are
// dropped), followed by the rest of the response.
Status Flatten(ImapSession& s, std::string& text) {
  for (int64_t n; (n = TrailingLiteral(text.c_str())) >= 0;) {
    text.erase(text.rfind('{'));
    std::string content;
    if (uint64_t(n) + text.size() < kImapTextSize / 2) {
      std::string raw(size_t(n), '\0');
      if (const Status read = ReadRaw(s, raw.data(), uint64_t(n)); !read.ok()) return read;
      for (char c : raw) {
        if (c == '"' || c == '\\') content += '\\';
        content += c;
      }
    } else if (const Status skipped = ReadRaw(s, nullptr, uint64_t(n)); !skipped.ok()) {
      return skipped;
    }
    char rest[kImapTextSize];
    if (const Result<int32_t> line = ReadLine(s, rest, sizeof rest); !line.ok()) return line.status();
    text += '"' + content + '"' + rest;
    if (text.size() >= kImapTextSize) text.resize(kImapTextSize - 1);
  }
  return {};
}

}  // namespace

uint32_t CommandId(const char* command) noexcept {
  size_t length = 0;
  while (command[length] && !IsSpace(command[length])) ++length;
  for (const TableRow& row : kCommands)
    if (std::strlen(row.keyword) == length && strncasecmp(row.keyword, command, length) == 0) return row.id;
  return 0;
}

Result<int32_t> SendCommand(ImapSession& s, const char* command, const char* argument) noexcept {
  if (s.responsePending) return Status(cvErrorOperationInProgress);
  if (!command || !*command) return Status(cvErrorInvalidParameter);
  if (s.idleOpen || s.idleThread.load()) {
    if (const Result<int32_t> ended = EndIdle(s); !ended.ok()) return ended;
  }
  const size_t argumentLength = argument ? std::strlen(argument) : 0;
  if (std::strlen(command) + argumentLength + 16 >= kImapCommandSize) return Status(cvErrorInvalidParameter);
  // A line break inside would smuggle a second command (or a password) onto the wire.
  if (std::strpbrk(command, "\r\n") || (argument && std::strpbrk(argument, "\r\n")))
    return Status(cvErrorInvalidParameter);
  if (s.header.controlSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.closed) return Status(ClosedError(s));
  s.tagCounter = s.tagCounter >= 9999 ? 1 : s.tagCounter + 1;
  s.currentCommand = CommandId(command);
  const int n = argument ? std::snprintf(s.commandLine, sizeof s.commandLine, "A%04u %s %s\r\n", s.tagCounter,
                                         command, argument)
                         : std::snprintf(s.commandLine, sizeof s.commandLine, "A%04u %s\r\n", s.tagCounter, command);
  const Status sent = SendBytes(s, s.commandLine, uint32_t(n));
  // The line may hold a password: it does not stay in the record.
  explicit_bzero(s.commandLine, sizeof s.commandLine);
  if (!sent.ok()) {
    s.untaggedMode = 0;
    return sent;
  }
  s.responsePending = 1;
  if (s.untaggedMode) return 0;
  const Result<int32_t> id = ReadResponse(s);
  if (!id.ok()) return id;
  if (id.value() == int32_t(kImapResponseNo) || id.value() == int32_t(kImapResponseBad))
    return Status(ResponseError(id.value()));
  return id;
}

Status SendUntagged(ImapSession& s, const char* command, const char* argument) noexcept {
  if (s.responsePending) return Status(cvErrorOperationInProgress);
  s.untaggedMode = 1;
  if (const Result<int32_t> sent = SendCommand(s, command, argument); !sent.ok()) {
    s.untaggedMode = 0;
    return sent.status();
  }
  return {};
}

void FinishUntagged(ImapSession& s) noexcept {
  s.literalExpected = 0;
  while (s.untaggedMode && s.responsePending && !Gone(s))
    if (!ReadResponse(s).ok()) break;
}

Result<int32_t> ReadResponse(ImapSession& s) noexcept {
  if (!s.responsePending) return int32_t(s.responseId);
  s.responsePending = 0;
  char line[kImapTextSize];
  int32_t id = 0;
  auto failed = [&](Status failure) {
    s.untaggedMode = 0;
    s.literalTail = 0;
    return failure;
  };
  for (;;) {
    // While a search runs, a SEARCH response longer than the line's room goes to its sink
    // as it streams in; a shorter one is taken whole below.
    bool streamed = false;
    LineOverflow toSearch;
    if (s.searchSink) {
      toSearch = [&s, &streamed](std::string_view kept, std::string_view rest) {
        if (!streamed) {
          const size_t start = SearchTextStart(kept);
          if (start == std::string_view::npos) return;
          s.searchSink->BeginResponse();
          s.searchSink->Feed(kept.substr(start));
          streamed = true;
        }
        s.searchSink->Feed(rest);
      };
    }
    if (const Result<int32_t> read = ReadLine(s, line, sizeof line, toSearch); !read.ok()) return failed(read.status());
    if (s.literalTail) {
      // The rest of a response whose literal was read: skipped (with any further literal).
      if (line[0] == ' ' || line[0] == ')') {
        const int64_t more = TrailingLiteral(line);
        s.literalTail = more >= 0;
        if (more >= 0)
          if (const Status skipped = ReadRaw(s, nullptr, uint64_t(more)); !skipped.ok()) return failed(skipped);
        continue;
      }
      s.literalTail = 0;
    }
    if (line[0] == '*') {
      std::string text = SkipSpace(line + 1);
      if (!s.literalExpected)
        if (const Status flattened = Flatten(s, text); !flattened.ok()) return failed(flattened);
      id = ParseResponse(s, text.c_str(), false);
      if (s.searchSink && id == int32_t(kImapResponseSearch)) {
        if (!streamed) {
          s.searchSink->BeginResponse();
          s.searchSink->Feed(s.responseText);
        }
        s.searchSink->EndResponse();
      }
      if (!s.greetingReceived || s.untaggedMode || s.idleThread.load()) break;
      continue;
    }
    if (line[0] == ')') continue;
    if (line[0] == '+') {
      id = int32_t(kImapResponseContinue);
      s.responseId = kImapResponseContinue;
      s.responseNumber = 0;
      s.lastTagged = 0;
      s.codeName[0] = s.codeValue[0] = '\0';
      SetResponseText(s, SkipSpace(line + 1));
      break;
    }
    if (line[0] == 'A') {
      s.untaggedMode = 0;
      const char* p = line;
      while (*p && !IsSpace(*p)) ++p;
      id = ParseResponse(s, SkipSpace(p), true);
      break;
    }
    id = 0;
    s.responseId = 0;
    s.responseNumber = 0;
    s.lastTagged = 0;
    s.codeName[0] = s.codeValue[0] = '\0';
    SetResponseText(s, line);
    break;
  }
  s.greetingReceived = 1;
  if (!s.untaggedMode) Fire(s, cvmail::kMailEventCommand, ResponseError(id));
  s.responsePending = s.untaggedMode;
  return id;
}

int32_t ParseResponse(ImapSession& s, const char* text, bool tagged) noexcept {
  const char* p = SkipSpace(text ? text : "");
  s.responseId = 0;
  s.responseNumber = 0;
  s.codeName[0] = s.codeValue[0] = '\0';
  s.lastTagged = tagged;
  if (std::isdigit(static_cast<unsigned char>(*p))) {
    uint64_t n = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      n = std::min<uint64_t>(n * 10 + uint64_t(*p++ - '0'), 0xFFFFFFFFu);
    }
    s.responseNumber = uint32_t(n);
    p = SkipSpace(p);
  }
  const char* rest = p;
  for (const TableRow& row : kResponses) {
    const size_t n = std::strlen(row.keyword);
    if (strncasecmp(p, row.keyword, n) == 0 && (p[n] == '\0' || IsSpace(p[n]))) {
      s.responseId = row.id;
      rest = SkipSpace(p + n);
      break;
    }
  }
  SetResponseText(s, rest);
  const uint32_t id = s.responseId;
  if (id == kImapResponseNo || id == kImapResponseBad) return int32_t(id);
  if (const char* open = std::strchr(s.responseText, '[')) {
    const char* name = open + 1;
    const char* end = name;
    while (*end && *end != ']' && !IsSpace(*end)) ++end;
    Copy(s.codeName, sizeof s.codeName, name, size_t(end - name));
    if (IsSpace(*end)) {
      const char* value = SkipSpace(end);
      const char* close = std::strchr(value, ']');
      Copy(s.codeValue, sizeof s.codeValue, value, close ? size_t(close - value) : std::strlen(value));
    }
  }
  if (!tagged) {
    if (id == kImapResponseExists) s.exists = s.responseNumber.load();
    if (id == kImapResponseRecent) s.recent = s.responseNumber.load();
    // Each expunge renumbers the messages above it: the count follows without a new EXISTS.
    if (id == kImapResponseExpunge && s.exists > 0) --s.exists;
  }
  if (s.currentCommand == kCommandCapability && id == kImapResponseCapability)
    Copy(s.capabilities, sizeof s.capabilities, s.responseText, std::strlen(s.responseText));
  if (s.currentCommand == kCommandSelect || s.currentCommand == kCommandExamine) {
    if (id == kImapResponseOk && s.codeName[0]) {
      auto number = [&] { return uint32_t(std::strtoul(s.codeValue, nullptr, 10)); };
      if (SameText(s.codeName, "PERMANENTFLAGS")) s.permanentFlags = ImapParseFlagList(s.codeValue);
      else if (SameText(s.codeName, "READ-ONLY")) s.readWrite = 0;
      else if (SameText(s.codeName, "READ-WRITE")) s.readWrite = 1;
      else if (SameText(s.codeName, "UIDVALIDITY")) s.uidValidity = number();
      else if (SameText(s.codeName, "UIDNEXT")) s.uidNext = number();
      else if (SameText(s.codeName, "UNSEEN")) s.unseen = number();
    }
    if (id == kImapResponseFlags) s.mailboxFlags = ImapParseFlagList(s.responseText);
  }
  return int32_t(id);
}

}  // namespace cvimap

using namespace cvimap;

int32_t ImapSendCommand(LibHandle handle, const char* command, const char* argument) {
  Operation op(handle);
  if (!op) return -1;
  const Result<int32_t> id = SendCommand(*op, command, argument);
  // A command left to its caller's reads has read nothing yet.
  if (id.ok() && op->untaggedMode) return id.value();
  return FinishResponse(id);
}

int32_t ImapReadResponse(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  // Nothing owed: the last response's id again, and the last error as it was.
  if (!op->responsePending) return int32_t(op->responseId);
  return FinishResponse(ReadResponse(*op));
}

int32_t ImapParseResponse(LibHandle handle, const char* text, int32_t tagged) {
  Operation op(handle);
  if (!op) return -1;
  if (!text) return Finish(Status(cvErrorInvalidParameter));
  return ParseResponse(*op, text, tagged != 0);
}

const char* ImapGetResponseText(LibHandle handle) {
  ImapSession* s = Lookup(handle);
  if (!s) return nullptr;
  if (OnIdleThread(*s)) return s->responseText;  // its own writes
  // A copy the IDLE thread cannot rewrite while the caller reads it.
  std::lock_guard lk(s->textLock);
  std::memcpy(s->responseTextCopy, s->responseText, sizeof s->responseTextCopy);
  return s->responseTextCopy;
}

const char* ImapGetCapabilities(LibHandle handle) {
  ImapSession* s = Lookup(handle);
  return s ? s->capabilities : nullptr;
}
