// CGI programs and script handlers: their registrations, finding the one that serves a
// request, the environment block, and running the child with the body on its input and
// its output collected within the time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "httpsrv/httpsrv_internal.h"
#include "platform/base/tick.h"

extern char** environ;

namespace cvhttpsrv {
namespace {

constexpr size_t kMaxEnvironment = 32767;
constexpr size_t kMaxOutput = 64u << 20;  // output beyond this fails the run

// The program file: absolute, or found on PATH; "" with the error set.
std::string FindProgram(uint64_t server, const char* programText) {
  if (!programText || !*programText) return Fail(server, cvErrorInvalidFileName, std::string());
  std::string program = ExpandPath(programText);
  if (program.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::string found;
    for (std::string dirs = path ? path : ""; !dirs.empty() && found.empty();) {
      const size_t colon = dirs.find(':');
      const std::string dir = dirs.substr(0, colon);
      dirs = colon == std::string::npos ? "" : dirs.substr(colon + 1);
      if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) found = dir + "/" + program;
    }
    if (found.empty()) return Fail(server, cvErrorInvalidFileName, std::string());
    program = found;
  }
  program = Canonical(program);
  struct stat st {};
  if (program.empty() || ::stat(program.c_str(), &st) != 0) return Fail(server, cvErrorFileNotFound, std::string());
  if (!S_ISREG(st.st_mode)) return Fail(server, cvErrorInvalidFileType, std::string());
  return program;
}

bool CommonParts(uint64_t server, VirtualHost& host, const char* programText, const char* parameters,
                 const char* directory, Registration& reg) {
  reg.program = FindProgram(server, programText);
  if (reg.program.empty()) return false;
  if (parameters && std::strlen(parameters) > 2560) return Fail(server, cvErrorInvalidParameter), false;
  if (directory && *directory) {
    reg.directory = Canonical(ExpandPath(directory));
    if (reg.directory.empty() || !IsDirectory(reg.directory)) return Fail(server, cvErrorDirectoryNotFound), false;
  } else {
    reg.directory = host.root;
  }
  return true;
}

// The command line split into arguments: blanks separate, double quotes group.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string current;
  bool inArg = false, quoted = false;
  for (char ch : line) {
    if (ch == '"') {
      quoted = !quoted;
      inArg = true;
    } else if (ch == ' ' && !quoted) {
      if (inArg) args.push_back(current), current.clear(), inArg = false;
    } else {
      current += ch;
      inArg = true;
    }
  }
  if (inArg) args.push_back(current);
  return args;
}

std::string Expand(const std::string& tmpl, const std::string& arg1) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') {
      out += tmpl[i];
      continue;
    }
    if (i + 1 < tmpl.size() && tmpl[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    uint32_t n = 0;
    while (j < tmpl.size() && std::isdigit(static_cast<unsigned char>(tmpl[j]))) n = n * 10 + uint32_t(tmpl[j++] - '0');
    if (j == i + 1) {
      out += '%';
      continue;
    }
    if (n == 1) out += arg1;
    i = j - 1;
  }
  return out.substr(0, 5119);
}

bool SetVariable(HttpSession& s, const std::string& nameText, const std::string& valueText);

enum SystemFolderKind : uint32_t {
  kFolderSearchPath = 1,
  kFolderTemporary = 2,
  kFolderApplicationData = 3,
  kFolderPublic = 4,
};

// "" for a folder this system does not have (there is no shared public profile here).
std::string SystemFolder(const HttpServerRecord& r, uint32_t kind) {
  switch (kind) {
    case kFolderSearchPath: return "/usr/local/bin:/usr/bin:/bin";
    case kFolderTemporary: return r.temp;
    case kFolderApplicationData: return "/var/lib";
    default: return std::string();
  }
}

void BuildEnvironment(const Client& c) {
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  if (!s.envBuilt) {
    s.env.clear();
    static const char* const kKept[] = {"TEMP", "TMP", "TZ", "LANG", "HOME", "USER", "SHELL"};
    for (char** e = environ; e && *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (s.clientAccess & httpAccessRestricted) {
        bool kept = false;
        for (const char* k : kKept) kept = kept || IEquals(name, k);
        if (!kept) continue;
      }
      if (s.env.size() + entry.size() + 1 > kMaxEnvironment - 1) break;
      s.env.insert(s.env.end(), entry.begin(), entry.end());
      s.env.push_back('\0');
    }
    if (s.clientAccess & httpAccessRestricted) SetVariable(s, "PATH", SystemFolder(r, kFolderSearchPath));
    s.envBuilt = true;
  }
  SetVariable(s, "TEMP", r.temp);
  SetVariable(s, "TMP", r.temp);
  // Each only where the system has such a folder.
  SetVariable(s, "APPDATA", SystemFolder(r, kFolderApplicationData));
  SetVariable(s, "USERPROFILE", SystemFolder(r, kFolderPublic));
  if (s.methodId == kPost) {
    SetVariable(s, "CONTENT_LENGTH", RequestHeader(s, "Content-Length"));
    SetVariable(s, "CONTENT_TYPE", RequestHeader(s, "Content-Type"));
  }
  SetVariable(s, "DOCUMENT_ROOT", s.root);
  SetVariable(s, "GATEWAY_INTERFACE", "CGI/1.1");
  // "Proxy" would reach the child as HTTP_PROXY, which programs take for their outgoing
  // proxy: a client could route the script's own requests through a host of its choice.
  static const char* const kSkipped[] = {"Authorization", "Cache-Control", "Connection", "Content-Length",
                                         "Content-Type", "Expect", "Front-End-Https", "Max-Forwards", "Pragma",
                                         "Proxy", "Proxy-Authorization", "Proxy-Connection", "Upgrade"};
  for (const HttpHeaderEntry& h : s.request.entries) {
    if (!h.name[0] || !h.value[0]) continue;
    bool skip = false;
    for (const char* k : kSkipped) skip = skip || IEquals(h.name, k);
    if (skip) continue;
    std::string name = "HTTP_" + ToUpper(h.name);
    for (char& ch : name)
      if (ch == '-') ch = '_';
    SetVariable(s, name, h.value);
  }
  SetVariable(s, "PATH_INFO", s.hasPathInfo ? "/" + s.pathInfoPath : "");
  SetVariable(s, "PATH_TRANSLATED", s.hasPathInfo ? s.localPath : "");
  SetVariable(s, "REMOTE_ADDR", s.peerText);
  SetVariable(s, "REMOTE_HOST", s.peerText);
  // Only an identity the server (or its owner) checked reaches the program: credentials
  // that were merely sent, or refused, leave both variables out.
  SetVariable(s, "AUTH_TYPE", s.authenticated ? "Basic" : "");
  SetVariable(s, "REMOTE_USER", s.authenticated ? s.userName : "");
  SetVariable(s, "QUERY_STRING", s.query);
  SetVariable(s, "REQUEST_METHOD", s.method);
  std::string requestUri = s.uri;
  if (s.hasPathInfo) requestUri += "/" + s.pathInfo;
  if (s.hasQuery) requestUri += "?" + s.query;
  SetVariable(s, "REQUEST_URI", requestUri);
  if (s.script) {
    SetVariable(s, "SCRIPT_FILENAME", s.scriptPath.empty() ? s.programPath : s.scriptPath);
    SetVariable(s, "SCRIPT_NAME", s.uri);
  }
  SetVariable(s, "SERVER_NAME", s.hostName);
  SetVariable(s, "SERVER_PORT", std::to_string(s.port));
  SetVariable(s, "SERVER_PORT_SECURE", s.secure ? "1" : "0");
  SetVariable(s, "SERVER_PROTOCOL", "HTTP/1.1");
  SetVariable(s, "SERVER_SOFTWARE", r.identity);
}

// The offset of the variable's entry, or -1.
int64_t FindVariable(const HttpSession& s, const std::string& name, std::string* value) {
  size_t pos = 0;
  while (pos < s.env.size()) {
    const char* entry = s.env.data() + pos;
    const size_t len = ::strnlen(entry, s.env.size() - pos);
    const char* eq = static_cast<const char*>(std::memchr(entry, '=', len));
    if (eq && size_t(eq - entry) == name.size() && ::strncasecmp(entry, name.c_str(), name.size()) == 0) {
      if (value) value->assign(eq + 1, entry + len);
      return int64_t(pos);
    }
    pos += len + 1;
  }
  return -1;
}

bool SetVariable(HttpSession& s, const std::string& nameText, const std::string& valueText) {
  const std::string name = Trim(nameText), value = Trim(valueText);
  if (name.empty() || name.find('=') != std::string::npos) return false;
  const int64_t at = FindVariable(s, name, nullptr);
  if (at >= 0) {
    const size_t len = ::strnlen(s.env.data() + at, s.env.size() - size_t(at));
    s.env.erase(s.env.begin() + at, s.env.begin() + at + int64_t(std::min(len + 1, s.env.size() - size_t(at))));
  }
  if (value.empty()) return true;
  if (s.env.size() + name.size() + value.size() + 2 > kMaxEnvironment - 2) return false;
  const std::string entry = name + "=" + value;
  s.env.insert(s.env.end(), entry.begin(), entry.end());
  s.env.push_back('\0');
  return true;
}

}  // namespace

namespace {

// Cuts the request at the separator that ends the script part: path (decoded) at cut,
// the URI at the separator with the same number (the two have the same segments).
void CutAtSegment(HttpSession& s, size_t cut) {
  if (cut >= s.path.size()) return;
  const size_t separators = size_t(std::count(s.path.begin(), s.path.begin() + int64_t(cut), '/'));
  size_t uriCut = std::string::npos, seen = 0;
  for (size_t i = 0; i < s.uri.size(); ++i)
    if (s.uri[i] == '/' && seen++ == separators) {
      uriCut = i;
      break;
    }
  s.pathInfoPath = s.path.substr(cut + 1);
  s.path.resize(cut);
  if (uriCut != std::string::npos) {
    s.pathInfo = s.uri.substr(uriCut + 1);
    s.uri.resize(uriCut);
  }
  s.hasPathInfo = true;
}

}  // namespace

bool FindScript(const Client& c) {
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  if (s.script) return true;
  const std::string& path = s.path;
  const Registration* best = nullptr;
  for (const Registration& reg : r.registrations) {
    if (reg.kind != 1 || reg.hostId != s.hostId) continue;
    const std::string& vp = reg.virtualPath;
    if (IStartsWith(path, vp) && (path.size() == vp.size() || path[vp.size()] == '/') &&
        (!best || best->virtualPath.size() < vp.size()))
      best = &reg;
  }
  if (best) {
    s.script = best;
    CutAtSegment(s, best->virtualPath.size());
    s.programPath = best->program;
    s.pathAccess = httpAccessRead | httpAccessExecute;
    return true;
  }
  bool anyHandler = false;
  for (const Registration& reg : r.registrations) anyHandler = anyHandler || reg.kind == 2;
  if (anyHandler) {
    for (size_t start = 1; start < path.size();) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string segment = path.substr(start, end - start);
      // The extension follows the last dot: "a.b.py" is a script, not a ".b.py" file.
      const size_t dot = segment.find_last_of('.');
      if (dot != std::string::npos) {
        const std::string ext = segment.substr(dot + 1, 63);
        for (const Registration& reg : r.registrations) {
          if (reg.kind != 2 || reg.hostId != s.hostId || !IEquals(reg.extension, ext)) continue;
          std::string local;
          uint32_t error = 0;
          const VirtualPath* vp = ResolvePath(r, s.hostId, path.substr(0, end), local, &error);
          if (!vp || !(vp->node.access & httpAccessExecute) || local.empty()) continue;
          s.script = &reg;
          s.scriptPath = local;
          s.scriptBase = vp->node.localPath;
          if (s.scriptBase.size() > 1 && s.scriptBase.back() == '/') s.scriptBase.pop_back();
          s.programPath = reg.program;
          CutAtSegment(s, end);
          s.pathAccess = vp->node.access;
          return true;
        }
      }
      start = end + 1;
    }
  }
  return Fail(s.serverHandle, cvErrorInvalidVirtualPath), false;
}

bool RunCgi(const Client& c, const char* body, size_t length) {
  HttpSession& s = *c.session;
  if (!s.script) return false;
  const Registration& reg = *s.script;
  s.cgiOutput.clear();
  const std::string arg1 = reg.kind == 1 ? reg.virtualPath : s.scriptPath;
  const std::vector<std::string> args = SplitCommandLine(Expand(reg.commandLine, arg1));
  if (args.empty()) return false;
  BuildEnvironment(c);

  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, reg.directory.c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (size_t pos = 0; pos < s.env.size();) {
    envp.push_back(s.env.data() + pos);
    pos += ::strnlen(s.env.data() + pos, s.env.size() - pos) + 1;
  }
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, reg.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  // The body is fed from its own thread so a child that reads all input before writing
  // cannot stall against a full output pipe.
  std::thread writer;
  const int inWrite = in[1];
  if (body && length > 0) {
    writer = std::thread([inWrite, body, length] {
      HttpCgiWriter w{inWrite, body, uint32_t(length)};
      HttpCgiWriterThread(&w);
    });
  } else {
    ::close(inWrite);
  }
  const uint64_t start = plat::GetTickCount64();
  bool ok = true, open = true;
  std::vector<char> buffer(8192);
  // A stopping server does not wait out the program's time limit.
  auto stopping = [&] { return !Lib().Peek(s.serverHandle); };
  while (open) {
    const uint64_t elapsed = plat::GetTickCount64() - start;
    if (elapsed > reg.timeLimitMs || stopping()) {
      ::kill(-pid, SIGKILL);
      ok = false;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, int(std::min<uint64_t>(100, reg.timeLimitMs - elapsed + 1)));
    if (ready <= 0) continue;
    const ssize_t n = ::read(out[0], buffer.data(), buffer.size());
    if (n <= 0) {
      open = false;
      break;
    }
    if (s.cgiOutput.size() + size_t(n) > kMaxOutput) {
      ::kill(-pid, SIGKILL);
      ok = false;
      break;
    }
    s.cgiOutput.insert(s.cgiOutput.end(), buffer.data(), buffer.data() + n);
  }
  ::close(out[0]);
  if (writer.joinable()) writer.join();
  int status = 0;
  // The output closed; the child still gets the rest of its time to exit.
  while (ok) {
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (plat::GetTickCount64() - start > reg.timeLimitMs || stopping()) {
      ::kill(-pid, SIGKILL);
      ok = false;
      break;
    }
    plat::Sleep(10);
  }
  if (!ok) {
    ::waitpid(pid, &status, 0);
    s.exitCode = 255;
    s.cgiOutput.clear();
    return false;
  }
  s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  s.pendingEvent = httpEventExecute;
  s.pendingError = 0;
  return true;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpServerRegisterProgram(uint64_t server, uint32_t hostId, const char* virtualPath, const char* program,
                                  const char* parameters, const char* directory) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  VirtualHost* host = HostOf(*r, hostId);
  if (!host) return Fail(server, cvErrorInvalidVirtualHost);
  char normal[kVirtualPathSize];
  const int32_t n = HttpNormalizeVirtualPath(virtualPath ? virtualPath : "", normal);
  if (n <= 0) return Fail(server, cvErrorInvalidVirtualPath);
  Registration reg;
  reg.hostId = hostId;
  reg.kind = 1;
  reg.timeLimitMs = r->execTime * 1000;
  reg.virtualPath = normal;
  if (reg.virtualPath.size() > 1 && reg.virtualPath.back() == '/') reg.virtualPath.pop_back();
  if (!CommonParts(server, *host, program, parameters, directory, reg)) return 0;
  reg.commandLine = "\"" + reg.program + "\"";
  if (parameters && *parameters) reg.commandLine += std::string(" ") + parameters;
  std::lock_guard lk(Lib().lock());
  for (Registration& existing : r->registrations)
    if (existing.hostId == hostId && existing.kind == 1 && IEquals(existing.virtualPath, reg.virtualPath)) {
      existing = reg;
      return 1;
    }
  r->registrations.push_back(reg);
  return 1;
}

int32_t HttpServerRegisterHandler(uint64_t server, uint32_t hostId, const char* extension, const char* program,
                                  const char* parameters, const char* directory) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  VirtualHost* host = HostOf(*r, hostId);
  if (!host) return Fail(server, cvErrorInvalidVirtualHost);
  std::string ext = extension ? extension : "";
  ext.erase(0, std::min(ext.size(), ext.find_first_not_of(" .")));
  ext = Trim(ext);
  if (ext.empty() || ext.size() > 63) return Fail(server, cvErrorInvalidParameter);
  Registration reg;
  reg.hostId = hostId;
  reg.kind = 2;
  reg.timeLimitMs = r->execTime * 1000;
  reg.extension = ext;
  if (!CommonParts(server, *host, program, parameters, directory, reg)) return 0;
  reg.commandLine = "\"" + reg.program + "\" ";
  if (!parameters || !*parameters) reg.commandLine += "\"%1\"";
  else reg.commandLine += std::string(parameters) + (std::strchr(parameters, '%') ? "" : " \"%1\"");
  std::lock_guard lk(Lib().lock());
  for (Registration& existing : r->registrations)
    if (existing.hostId == hostId && existing.kind == 2 && IEquals(existing.extension, ext)) {
      existing = reg;
      return 1;
    }
  r->registrations.push_back(reg);
  return 1;
}

int32_t HttpSessionFindScript(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  return c && FindScript(c) ? 1 : 0;
}

int32_t HttpRunCgi(uint64_t server, uint32_t clientId, const void* body, uint32_t length) {
  Client c = FindClient(server, clientId);
  return c && RunCgi(c, static_cast<const char*>(body), length) ? 1 : 0;
}

int32_t HttpGetCgiVariable(uint64_t server, uint32_t clientId, const char* name, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return 0;
  BuildEnvironment(c);
  std::string value;
  if (FindVariable(*c.session, name, &value) < 0) return 0;
  if (buffer && size > 0) std::snprintf(buffer, size, "%s", value.c_str());
  return int32_t(value.size());
}

int32_t HttpSetCgiVariable(uint64_t server, uint32_t clientId, const char* name, const char* value) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return 0;
  if (!c.session->envBuilt) BuildEnvironment(c);
  return SetVariable(*c.session, name, value ? value : "") ? 1 : Fail(server, cvErrorInvalidParameter);
}

int32_t HttpSessionGetExitCode(uint64_t server, uint32_t clientId, int32_t* code) {
  Client c = FindClient(server, clientId);
  if (!c || !code) return 0;
  *code = c.session->exitCode;
  return 1;
}

int32_t HttpBuildCgiEnvironment(uint64_t server, uint32_t clientId) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  BuildEnvironment(c);
  return 1;
}

const char* HttpGetCgiEnvironment(uint64_t server, uint32_t clientId, uint32_t* length) {
  Client c = FindClient(server, clientId);
  if (!c) return nullptr;
  if (!c.session->envBuilt) BuildEnvironment(c);
  if (length) *length = uint32_t(c.session->env.size());
  return c.session->env.data();
}

int32_t HttpFindCgiVariable(uint64_t server, uint32_t clientId, const char* name, const char** value,
                            uint32_t* length) {
  Client c = FindClient(server, clientId);
  if (!c || !name) return -1;
  HttpSession& s = *c.session;
  if (!s.envBuilt) BuildEnvironment(c);
  const int64_t at = FindVariable(s, Trim(name), nullptr);
  if (at < 0) return -1;
  const char* entry = s.env.data() + at;
  const char* v = std::strchr(entry, '=') + 1;
  if (value) *value = v;
  if (length) *length = uint32_t(std::strlen(v));
  return int32_t(at);
}

int32_t HttpGetCgiOutput(uint64_t server, uint32_t clientId, plat::HGLOBAL* block, uint32_t* length) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  if (!block) return Fail(server, cvErrorInvalidParameter);
  *block = nullptr;
  if (length) *length = 0;
  const std::vector<char>& out = c.session->cgiOutput;
  if (out.empty()) return 0;
  plat::HGLOBAL b = plat::GlobalAlloc(0x0042, out.size());
  if (!b) return Fail(server, cvErrorOutOfMemory);
  std::memcpy(plat::GlobalLock(b), out.data(), out.size());
  plat::GlobalUnlock(b);
  *block = b;
  if (length) *length = uint32_t(out.size());
  return 1;
}

uint32_t HttpCgiWriterThread(HttpCgiWriter* w) {
  if (!w) return 0;
  // A program that stops reading must not end the server with SIGPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  const char* body = static_cast<const char*>(w->body);
  size_t done = 0;
  while (body && done < w->length) {
    const ssize_t n = ::write(w->pipe, body + done, std::min<size_t>(w->length - done, 8192));
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(w->pipe);
  return uint32_t(done);
}

int32_t HttpGetSystemFolder(uint64_t server, uint32_t kind, char* buffer) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!buffer || kind < kFolderSearchPath || kind > kFolderPublic) return Fail(server, cvErrorInvalidParameter);
  const std::string folder = SystemFolder(*r, kind);
  if (folder.empty()) return Fail(server, cvErrorDirectoryNotFound);
  if (folder.size() >= kPathSize) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return int32_t(folder.size());
}

void HttpServerFreeRegistrations(uint64_t server) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return;
  std::lock_guard lk(Lib().lock());
  r->registrations.clear();
}
