// The reply sender: default texts, multi-line replies, and the one-final-reply rule.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"

namespace cvftpsrv {

namespace {

struct DefaultText {
  uint32_t code;
  const char* text;
};

const DefaultText kDefaultTexts[] = {
    {100, "The requested action is being initiated"},
    {120, "The service is currently unavailable"},
    {125, "Data connection already open; transfer starting"},
    {150, "File status okay; about to open data connection"},
    {200, "Command okay"},
    {202, "Command not implemented"},
    {211, "System status okay"},
    {212, "Directory status okay"},
    {213, "File status okay"},
    {214, "Help not implemented"},
    {215, "Unknown status"},
    {220, "Service ready"},
    {221, "Closing control connection"},
    {225, "Data connection open; no transfer in progress"},
    {226, "Closing data connection; requested action successful"},
    {227, "Entering passive mode"},
    {228, "Entering long passive mode"},
    {229, "Entering extended passive mode"},
    {230, "User logged in, proceed"},
    {231, "User logged out, service terminated"},
    {232, "Logout will complete when transfer done"},
    {250, "Requested action successful"},
    {257, "Path created"},
    {331, "User name okay, need password"},
    {332, "Need account named for login"},
    {350, "Requested file action pending further information"},
    {421, "Service not available, closing control connection"},
    {425, "Can't open data connection"},
    {426, "Connection closed; transfer aborted"},
    {430, "Invalid username or password"},
    {434, "Requested host unavailable"},
    {450, "Requested action failed"},
    {451, "Requested action aborted"},
    {452, "Insufficient storage on server"},
    {500, "Command not recognized"},
    {501, "Syntax error in command parameters"},
    {502, "Command not implemented"},
    {503, "Bad sequence of commands"},
    {504, "Command not implemented for that parameter"},
    {530, "Not logged in"},
    {532, "Need account for storing files"},
    {550, "Requested action failed"},
    {551, "Requested action aborted"},
    {552, "Storage allocation exceeded"},
    {553, "File name not allowed"},
};

// The longest line the reply sender writes; a longer one is cut.
constexpr size_t kMaxReplyLine = 2043;

// Bytes a reply shows: printable ASCII and the bytes of UTF-8 names.
bool Printable(unsigned char ch) { return ch >= 33 && ch != 127; }
bool Shown(unsigned char ch) { return ch >= 32 && ch != 127; }

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(size_t(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(size_t(n));
  return out;
}

}  // namespace

const char* DefaultReplyText(uint32_t code) {
  for (const DefaultText& d : kDefaultTexts)
    if (d.code == code) return d.text;
  return nullptr;
}

int32_t Reply(const Client& c, uint32_t code, const char* given) {
  FtpServerRecord& r = *c.server;
  FtpServerSession& s = *c.session;
  const uint64_t h = r.serverHandle.load();
  if (s.replySent.load()) return Fail(h, cvErrorCommandSequence, 0);
  if (code < 100 || code > 999) return Fail(h, cvErrorInvalidResultCode, 0);
  std::string text;
  if (given && *given) {
    text.assign(given);
  } else if (code == 200 && s.tokenCount > 0) {
    text = std::string(Token(s, 0)) + " command okay";
  } else if (const char* d = DefaultReplyText(code)) {
    text = d;
  } else {
    text = "Undefined result code " + std::to_string(code);
  }
  size_t b = 0, e = text.size();
  while (b < e && !Printable(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && !Printable(static_cast<unsigned char>(text[e - 1]))) --e;
  text = text.substr(b, e - b);

  if (code >= 200) s.replySent.store(1);
  s.lastReplyCode.store(code);
  SetText(s, s.lastReplyText, text.c_str());

  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    const char ch = end ? '\0' : text[i];
    if (end || ch == '\n' || (ch == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      lines.push_back(line);
      line.clear();
    } else if (Shown(static_cast<unsigned char>(ch))) {
      line += ch;
    }
  }
  // A line longer than a reply line holds goes on in continuation lines: nothing is cut.
  std::vector<std::string> wire;
  for (const std::string& l : lines)
    for (size_t at = 0; at == 0 || at < l.size(); at += kMaxReplyLine) wire.push_back(l.substr(at, kMaxReplyLine));
  const std::string number = std::to_string(code);
  std::string out;
  for (size_t k = 0; k < wire.size(); ++k) {
    if (wire.size() == 1 || k + 1 == wire.size()) out += number + " " + wire[k];
    else if (k == 0) out += number + "-" + wire[k];
    else out += "    " + wire[k];
    out += "\r\n";
  }
  // One write for the whole reply: a multi-line reply is not spread over many segments.
  bool ok = true;
  for (size_t done = 0; done < out.size();) {
    const int32_t n = InetWrite(s.controlSocket, out.data() + done, int32_t(std::min<size_t>(out.size() - done, 65536)));
    if (n <= 0) {
      ok = false;
      break;
    }
    done += size_t(n);
  }
  if (!ok) return Fail(h, InetGetLastError(), 0);
  InetSetLastError(0);
  return 1;
}

int32_t VReply(const Client& c, uint32_t code, const char* format, va_list args) {
  if (!format || !*format) return Reply(c, code, nullptr);
  return Reply(c, code, VFormat(format, args).c_str());
}

int32_t ReplyF(const Client& c, uint32_t code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t r = VReply(c, code, format, args);
  va_end(args);
  return r;
}

std::string QuotedName(const std::string& path) {
  std::string out;
  for (char ch : path) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b < 32 || b == 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);  // shown, never a line of its own
      out += hex;
      continue;
    }
    out += ch;
    if (ch == '"') out += '"';
  }
  return out;
}

void WriteControlLine(const Client& c, const std::string& line) {
  InetWriteLine(c.session->controlSocket, line.c_str(), nullptr);
}

void MarkAnswered(const Client& c, uint32_t code, const std::string& text) {
  FtpServerSession& s = *c.session;
  s.replySent.store(1);
  s.lastReplyCode.store(code);
  SetText(s, s.lastReplyText, text.c_str());
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpSessionSendReply(uint64_t server, uint32_t clientId, uint32_t code, const char* text) {
  Client c = FindClient(server, clientId);
  return c ? Reply(c, code, text) : 0;
}

int32_t FtpSessionSendReplyFormat(uint64_t server, uint32_t clientId, uint32_t code, const char* format, ...) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  va_list args;
  va_start(args, format);
  const int32_t r = VReply(c, code, format, args);
  va_end(args);
  return r;
}
