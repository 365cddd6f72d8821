// The request and response header tables of a session (64 entries each).
#include <cstring>

#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

constexpr size_t kMaxHeaders = 64;

const char* const kResponseOrder[] = {"Date",          "Server",          "Expires",          "Last-Modified",
                                      "ETag",          "Allow",           "Accept-Ranges",    "Content-Type",
                                      "Content-Length", "Content-Range",  "Content-Encoding", "Transfer-Encoding",
                                      "Location",      "Pragma",          "Cache-Control",    "Connection",
                                      "WWW-Authenticate"};

bool ValidName(const std::string& name) { return !name.empty() && name.find(':') == std::string::npos; }

std::string SkipBlanks(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  return text.substr(i);
}

}  // namespace

bool HeaderParseLine(HeaderTable& t, const std::string& text, uint32_t* error) {
  const std::string line = SkipBlanks(text);
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return *error = cvErrorInvalidParameter, false;
  std::string name;
  for (size_t i = 0; i < colon; ++i)
    if (line[i] != ' ' && line[i] != '\t') name += line[i];
  if (name.empty() || name.size() > 127) return *error = cvErrorInvalidParameter, false;
  std::string value = SkipBlanks(line.substr(colon + 1)).substr(0, 1023);
  return HeaderSet(t, name, value, error);
}

const std::string* HeaderFind(const HeaderTable& t, const std::string& nameText) {
  const std::string name = SkipBlanks(nameText);
  if (!ValidName(name)) return nullptr;
  for (const Header& h : t.entries)
    if (!h.value.empty() && IEquals(h.name, name)) return &h.value;
  return nullptr;
}

bool HeaderSet(HeaderTable& t, const std::string& nameText, const std::string& valueText, uint32_t* error) {
  const std::string name = SkipBlanks(nameText);
  if (!ValidName(name) || name.size() > 127) return *error = cvErrorInvalidParameter, false;
  const std::string value = Trim(valueText).substr(0, 1023);
  if (!IEquals(name, "Set-Cookie")) {
    for (Header& h : t.entries)
      if (IEquals(h.name, name)) {
        h.value = value;
        return true;
      }
  }
  if (value.empty()) return true;
  for (Header& h : t.entries)
    if (h.name.empty()) {
      h.name = name;
      h.value = value;
      return true;
    }
  if (t.entries.size() >= kMaxHeaders) return *error = cvErrorOutOfMemory, false;
  t.entries.push_back({name, value});
  return true;
}

void ClearResponseHeaders(HeaderTable& t) {
  t.entries.clear();
  for (const char* name : kResponseOrder) t.entries.push_back({name, std::string()});
}

std::string RequestHeader(const HttpSession& s, const char* name, size_t limit) {
  const std::string* v = HeaderFind(s.request, name);
  return v ? v->substr(0, limit) : std::string();
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpGetRequestHeader(uint64_t server, uint32_t clientId, const char* name, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return 0;
  const std::string* v = HeaderFind(c.session->request, name);
  if (!v) return 0;
  if (!buffer || size <= v->size()) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, v->c_str(), v->size() + 1);
  return int32_t(v->size());
}

int32_t HttpSetResponseHeader(uint64_t server, uint32_t clientId, const char* name, const char* value) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return c ? Fail(server, cvErrorInvalidParameter) : 0;
  uint32_t error = 0;
  if (!HeaderSet(c.session->response, name, value ? value : "", &error)) return Fail(server, error);
  return 1;
}

int32_t HttpSessionClearHeaders(uint64_t server, uint32_t clientId, uint32_t which) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (which == 0) c.session->request.entries.clear();
  else if (which == 1) ClearResponseHeaders(c.session->response);
  else return Fail(server, cvErrorInvalidParameter);
  return 1;
}

int32_t HttpGetAllRequestHeaders(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  std::string all;
  for (const Header& h : c.session->request.entries)
    if (!h.value.empty()) all += h.name + ": " + h.value + "\r\n";
  if (!buffer) return int32_t(all.size());
  if (size <= all.size()) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, all.c_str(), all.size() + 1);
  return int32_t(all.size());
}
