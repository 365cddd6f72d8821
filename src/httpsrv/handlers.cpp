// The method handlers: each reads (or drops) the request body, checks authentication and
// access, does its work on the file system and answers the request exactly once.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "httpsrv/httpsrv_internal.h"
#include "platform/base/tick.h"
#include "sockets/server/server_pauses.h"

namespace cvhttpsrv {
namespace {

namespace fs = std::filesystem;

// The common start: the body read as asked, the protected-path check and the mapping.
// False when the request has been answered (or must be answered by the caller with 500).
bool Begin(const Client& c, bool discard) {
  if (discard && !ReadBodyDiscard(c)) {
    SendError(c, 500);
    return false;
  }
  uint32_t error = 0;
  MapRequest(c, &error);
  HttpSession& s = *c.session;
  if ((s.pathAccess & httpAccessProtected) && !s.authenticated) {
    if (s.authFailed) cvsock::ServerPause(3000);  // refused credentials slow down guessing
    HttpRequireAuthentication(s.serverHandle, s.clientId, 1, s.hostName.c_str());
    return false;
  }
  return true;
}

bool Allowed(const Client& c, uint32_t rights) {
  uint32_t error = 0;
  return CheckAccess(c, rights, &error);
}

void Answer(const Client& c, uint32_t status, uint32_t extra = 0) {
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, status, nullptr, "text/plain"};
  if (HttpSendResponse(c.session->serverHandle, c.session->clientId, httpSendNoCache | extra, &info, nullptr, 0))
    CloseUnlessKeepAlive(c);
  else
    SendError(c, 403);
}

bool IsDocumentRoot(const Client& c, const std::string& path) {
  std::string root = c.session->root;
  if (root.size() > 1 && root.back() == '/') root.pop_back();
  return path == root;
}

void SendFile(const Client& c, bool download) {
  HttpSession& s = *c.session;
  const uint64_t server = s.serverHandle;
  if (!Allowed(c, httpAccessRead)) return void(SendError(c, 403));
  std::string modified, tag;
  uint64_t size = 0;
  uint32_t error = 0;
  if (!FileInfo(s.localPath, &modified, &tag, &size, &error)) return void(SendError(c, 500));
  uint32_t e = 0;
  HeaderSet(s.response, "Content-Length", std::to_string(size), &e);
  HeaderSet(s.response, "Last-Modified", modified, &e);
  auto header = [&](const char* name) {
    const char* v = HeaderFind(s.request, name);
    return v ? std::optional<std::string>(std::string(v).substr(0, 256)) : std::nullopt;
  };
  uint32_t status = 200;
  if (s.version == kVersion11) {
    HeaderSet(s.response, "ETag", tag, &e);
    if (auto v = header("If-None-Match"); v && *v == tag) status = 304;
    if (status == 200)
      if (auto v = header("If-Match"); v && *v != tag) status = 412;
  }
  if (status == 200)
    if (auto v = header("If-Modified-Since"); v && *v == modified) status = 304;
  if (status == 200)
    if (auto v = header("If-Unmodified-Since"); v && *v != modified) status = 412;
  if (status == 412) return void(SendError(c, 412));
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, status, nullptr, nullptr};
  bool sent;
  if (status == 304) {
    HeaderSet(s.response, "Content-Length", "", &e);
    sent = HttpSendResponse(server, s.clientId, httpSendBuffer, &info, nullptr, 0);
  } else {
    sent = HttpSendResponse(server, s.clientId, httpSendFile, &info, s.localPath.c_str(), -1);
  }
  if (!sent) {
    if (!s.answered) SendError(c, 403);
    else Disconnect(c);
    return;
  }
  if (download && status == 200) s.pendingEvent = httpEventDownload, s.pendingError = 0;
  CloseUnlessKeepAlive(c);
}

void SendDirectory(const Client& c) {
  HttpSession& s = *c.session;
  if (s.uri.empty() || s.uri.back() != '/') {
    std::string location = s.uri + "/";
    if (s.hasQuery) location += "?" + s.query;
    HttpRedirectRequest(s.serverHandle, s.clientId, 1, location.c_str());
    return;
  }
  if (!Allowed(c, httpAccessList)) return void(SendError(c, 403));
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, 200, nullptr, nullptr};
  if (!HttpSendResponse(s.serverHandle, s.clientId, httpSendListing, &info, nullptr, 0))
    return void(SendError(c, 403));
  if (s.methodId == kGet) SendDirectoryIndex(c, s.localPath);
  Disconnect(c);
}

// Every check comes before the body: a refused request never has its body read.
void RunProgram(const Client& c) {
  HttpSession& s = *c.session;
  if (!Allowed(c, httpAccessExecute)) return void(SendError(c, 403));
  if (!IsRegularFile(s.programPath)) return void(SendError(c, 500));
  if (!s.scriptPath.empty()) {
    struct stat st {};
    if (::stat(s.scriptPath.c_str(), &st) != 0) return void(SendError(c, 404));
    if (!S_ISREG(st.st_mode)) return void(SendError(c, 500));
  }
  std::vector<char> body;
  if (s.methodId == kPost && !ReadBodyToMemory(c, body)) return void(SendError(c, 500));
  if (!RunCgi(c, body.data(), body.size())) return void(SendError(c, 500));
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, 200, nullptr, nullptr};
  if (!HttpSendResponse(s.serverHandle, s.clientId, httpSendCgiOutput | httpSendBuffer, &info, s.cgiOutput.data(),
                        int64_t(s.cgiOutput.size()))) {
    if (!s.answered) SendError(c, 500);
    return;
  }
  CloseUnlessKeepAlive(c);
}

}  // namespace

void HandleGet(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c) return;
  HttpSession& s = *c.session;
  if (s.methodId != kGet && s.methodId != kHead && s.methodId != kPost) return void(SendError(c, 500));
  const ResolutionMemo memo;
  if (!Begin(c, s.methodId != kPost)) return;
  if (s.script) return RunProgram(c);
  // POST to a document is a GET of it; its body is dropped within the request size limit.
  if (s.methodId == kPost && !ReadBodyDiscard(c, true)) return void(SendError(c, 500));
  struct stat st {};
  if (s.localPath.empty() || !StatBelow(s.localBase, s.localPath, &st)) return void(SendError(c, 404));
  if (S_ISREG(st.st_mode)) return SendFile(c, s.methodId == kGet);
  if (S_ISDIR(st.st_mode)) return SendDirectory(c);
  SendError(c, 403);
}

// Rights, the target and its parent are checked before the body is read: a refused
// upload is answered at once (the client asking "100-continue" never sends it).
void HandlePut(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c) return;
  HttpSession& s = *c.session;
  if (!Begin(c, false)) return;
  if (s.script || s.localPath.empty() || IsDirectory(s.localPath) || !Allowed(c, httpAccessWrite))
    return void(SendError(c, 403));
  if (!ValidatePath(server, *c.server, s.localPath, 4)) return void(SendError(c, 409));
  std::string temp;
  const int fd = CreateTempFile(*c.server, temp);
  if (fd < 0) return void(SendError(c, 500));
  struct Remove {
    std::string& name;
    ~Remove() {
      if (!name.empty()) ::unlink(name.c_str());
    }
  } remove{temp};
  const bool read = ReadBodyToFile(c, fd, false);
  ::close(fd);
  if (!read) return void(SendError(c, 500));
  std::error_code ec;
  fs::rename(temp, s.localPath, ec);
  if (ec) {
    fs::copy_file(temp, s.localPath, fs::copy_options::overwrite_existing, ec);
    if (ec) return void(SendError(c, 403));
  }
  temp.clear();
  uint32_t e = 0;
  HeaderSet(s.response, "Location", RequestUrl(s), &e);
  Answer(c, 201);
  if (s.answered) s.pendingEvent = httpEventUpload, s.pendingError = 0;
}

void HandleDelete(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c || !Begin(c, true)) return;
  HttpSession& s = *c.session;
  if (s.script || !Allowed(c, httpAccessWrite) || !ValidatePath(server, *c.server, s.localPath, 1) ||
      IsDocumentRoot(c, s.localPath))
    return void(SendError(c, 403));
  std::error_code ec;
  // Links are removed themselves, never followed.
  if (fs::is_directory(fs::symlink_status(s.localPath))) fs::remove_all(s.localPath, ec);
  else fs::remove(s.localPath, ec);
  if (ec) return void(SendError(c, 403));
  DeletePathsOfLocal(*c.server, s.hostId, s.localPath);
  Answer(c, 204);
}

void HandleOptions(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c) return;
  if (!ReadBodyDiscard(c)) return void(SendError(c, 500));
  HttpSession& s = *c.session;
  uint32_t error = 0;
  MapRequest(c, &error);
  auto enabled = [&](const char* m) {
    MethodEntry* e = FindMethod(*c.server, m);
    return e && e->handler && !(e->flags.load() & kMethodDisabled);
  };
  auto permitted = [&](uint32_t right) {
    return (s.clientAccess & right) && (s.pathAccess & right);
  };
  std::string allow;
  const std::vector<const char*> reading =
      s.script ? std::vector<const char*>{"GET", "HEAD", "POST"} : std::vector<const char*>{"GET", "HEAD"};
  for (const char* m : reading)
    if (permitted(s.script ? httpAccessExecute : httpAccessRead) && enabled(m)) allow += std::string(m) + ",";
  if (permitted(httpAccessWrite))
    for (const char* m : {"PUT", "DELETE", "COPY", "MOVE"})
      if (enabled(m)) allow += std::string(m) + ",";
  if (enabled("TRACE")) allow += "TRACE,";
  allow += "OPTIONS";
  HeaderSet(s.response, "Allow", allow.substr(0, 127), &error);
  Answer(c, 200);
}

void HandleTrace(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c) return;
  if (!ReadBodyDiscard(c)) return void(SendError(c, 500));
  HttpSession& s = *c.session;
  std::string text = RequestLine(s) + "\r\n";
  for (const HttpHeaderEntry& h : s.request.entries)
    if (h.name[0] && h.value[0]) text += std::string(h.name) + ": " + h.value + "\r\n";
  HttpResponseInfo info{sizeof info, 0, 0, 0, 0, 200, nullptr, "message/http"};
  if (!HttpSendResponse(server, clientId, httpSendText | httpSendNoCache, &info, text.c_str(), int64_t(text.size())))
    return void(SendError(c, 403));
  CloseUnlessKeepAlive(c);
}

void HandleCopyMove(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c) return;
  HttpSession& s = *c.session;
  if ((s.methodId != kCopy && s.methodId != kMove) || !ReadBodyDiscard(c)) return void(SendError(c, 500));
  const std::string destination = RequestHeader(s, "Destination", 1024);
  if (destination.empty()) return void(SendError(c, 400));
  if (!HttpSessionCheckPath(server, clientId, destination.c_str(), httpAccessWrite)) return void(SendError(c, 403));
  const std::string overwrite = RequestHeader(s, "Overwrite", 16);
  const bool mayOverwrite = overwrite.empty() || (overwrite[0] != 'F' && overwrite[0] != 'f');
  if (!Begin(c, false)) return;
  if (s.script || !Allowed(c, httpAccessRead) || !ValidatePath(server, *c.server, s.localPath, 1) ||
      (s.methodId == kMove && IsDocumentRoot(c, s.localPath)))
    return void(SendError(c, 403));
  char target[kPathSize];
  if (HttpSessionMapPath(server, clientId, destination.c_str(), target) <= 0) return void(SendError(c, 400));
  if (!ValidatePath(server, *c.server, target, 4)) return void(SendError(c, 409));
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(target, ec));
  if (exists && !mayOverwrite) return void(SendError(c, 412));
  if (std::string(target) == s.localPath || PathInside(s.localPath, target)) return void(SendError(c, 403));
  if (exists) fs::remove_all(target, ec);
  if (s.methodId == kMove) {
    fs::rename(s.localPath, target, ec);
  } else {
    fs::copy(s.localPath, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  }
  if (ec) return void(SendError(c, 403));
  if (s.methodId == kMove) DeletePathsOfLocal(*c.server, s.hostId, s.localPath);
  Answer(c, 204);
}

void HandleMkcol(uint64_t server, uint32_t clientId, uint32_t) {
  Client c = FindClient(server, clientId);
  if (!c || !Begin(c, true)) return;
  HttpSession& s = *c.session;
  if (s.script || !Allowed(c, httpAccessWrite) || !ValidatePath(server, *c.server, s.localPath, 4) ||
      ::mkdir(s.localPath.c_str(), 0755) != 0)
    return void(SendError(c, 403));
  Answer(c, 204);
}

}  // namespace cvhttpsrv
