// The request and response header tables of a session (64 entries each), and the same
// operations on any table a caller holds.
#include <cstring>

#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

constexpr size_t kNameSize = sizeof(HttpHeaderEntry::name);
constexpr size_t kValueSize = sizeof(HttpHeaderEntry::value);

const char* const kResponseOrder[] = {"Date",          "Server",          "Expires",          "Last-Modified",
                                      "ETag",          "Allow",           "Accept-Ranges",    "Content-Type",
                                      "Content-Length", "Content-Range",  "Content-Encoding", "Transfer-Encoding",
                                      "Location",      "Pragma",          "Cache-Control",    "Connection",
                                      "WWW-Authenticate"};

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimView(std::string_view text) {
  text = SkipBlanks(text);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool ValidName(std::string_view name) {
  return !name.empty() && name.size() < kNameSize && name.find(':') == std::string_view::npos;
}

void Store(char* field, size_t size, std::string_view text) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

bool HeaderParseLine(HeaderTable& t, std::string_view text, uint32_t* error) {
  const std::string_view line = SkipBlanks(text);
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return *error = cvErrorInvalidParameter, false;
  std::string name;
  for (size_t i = 0; i < colon; ++i)
    if (!IsBlank(line[i])) name += line[i];
  if (name.empty() || name.size() >= kNameSize) return *error = cvErrorInvalidParameter, false;
  const std::string_view value = SkipBlanks(line.substr(colon + 1));
  return HeaderSet(t, name, value.substr(0, kValueSize - 1), error);
}

const char* HeaderFind(const HeaderTable& t, std::string_view nameText) {
  const std::string_view name = SkipBlanks(nameText);
  if (!ValidName(name)) return nullptr;
  for (const HttpHeaderEntry& h : t.entries)
    if (h.value[0] && IEquals(h.name, name)) return h.value;
  return nullptr;
}

bool HeaderSet(HeaderTable& t, std::string_view nameText, std::string_view valueText, uint32_t* error) {
  const std::string_view name = SkipBlanks(nameText);
  if (!ValidName(name)) return *error = cvErrorInvalidParameter, false;
  const std::string_view value = TrimView(valueText);
  // Set-Cookie always adds: a response may carry several.
  if (!IEquals(name, "Set-Cookie")) {
    for (HttpHeaderEntry& h : t.entries)
      if (h.name[0] && IEquals(h.name, name)) {
        Store(h.value, kValueSize, value);
        return true;
      }
  }
  if (value.empty()) return true;
  for (HttpHeaderEntry& h : t.entries)
    if (!h.name[0]) {
      Store(h.name, kNameSize, name);
      Store(h.value, kValueSize, value);
      return true;
    }
  return *error = cvErrorOutOfMemory, false;
}

void ClearHeaders(HeaderTable& t) {
  for (HttpHeaderEntry& h : t.entries) h.name[0] = h.value[0] = '\0';
}

void ClearResponseHeaders(HeaderTable& t) {
  ClearHeaders(t);
  size_t i = 0;
  for (const char* name : kResponseOrder) Store(t.entries[i++].name, kNameSize, name);
}

std::string RequestHeader(const HttpSession& s, const char* name, size_t limit) {
  const char* v = HeaderFind(s.request, name);
  return v ? std::string(v).substr(0, limit) : std::string();
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpHeaderParseLine(uint64_t server, HttpHeaderTable* table, const char* line) {
  uint32_t error = cvErrorInvalidParameter;
  if (!table || !line || !HeaderParseLine(*table, line, &error)) return Fail(server, error);
  return 1;
}

const char* HttpHeaderFind(uint64_t server, const HttpHeaderTable* table, const char* name) {
  const std::string_view text = name ? std::string_view(name) : std::string_view();
  if (!table || text.find(':') != std::string_view::npos || text.find_first_not_of(" \t") == std::string_view::npos)
    return Fail<const char*>(server, cvErrorInvalidParameter, nullptr);
  return HeaderFind(*table, text);
}

int32_t HttpHeaderSet(uint64_t server, HttpHeaderTable* table, const char* name, const char* value) {
  uint32_t error = cvErrorInvalidParameter;
  if (!table || !name || !HeaderSet(*table, name, value ? value : "", &error)) return Fail(server, error);
  return 1;
}

int32_t HttpGetRequestHeader(uint64_t server, uint32_t clientId, const char* name, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return 0;
  const char* v = HeaderFind(c.session->request, name);
  if (!v) return 0;
  const size_t n = std::strlen(v);
  if (!buffer || size <= n) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, v, n + 1);
  return int32_t(n);
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
  if (which == 0) ClearHeaders(c.session->request);
  else if (which == 1) ClearResponseHeaders(c.session->response);
  else return Fail(server, cvErrorInvalidParameter);
  return 1;
}

int32_t HttpGetAllRequestHeaders(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  std::string all;
  for (const HttpHeaderEntry& h : c.session->request.entries)
    if (h.name[0] && h.value[0]) all += std::string(h.name) + ": " + h.value + "\r\n";
  if (!buffer) return int32_t(all.size());
  if (size <= all.size()) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, all.c_str(), all.size() + 1);
  return int32_t(all.size());
}
