// Virtual hosts, virtual paths, the mapping of request paths to local paths and the
// access decisions of the handlers. Records are only marked deleted while the server
// runs, so client threads read them without the lock.
#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>

#include <cstring>

#include "core/url/url.h"
#include "http/http.h"
#include "httpsrv/httpsrv_internal.h"
#include "platform/base/beneath.h"

namespace cvhttpsrv {
namespace {

bool NeedsEncoding(const std::string& path) {
  static const char kSpecial[] = "!\"#$'()*,:;<>?@[\\]^{|}`";
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(path[i]);
    if (ch == '%') {
      if (i + 2 >= path.size() + 0 || !std::isxdigit(static_cast<unsigned char>(path[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(path[i + 2])))
        return true;
      continue;
    }
    if (ch < '!' || ch > '~' || std::strchr(kSpecial, ch)) return true;
  }
  return false;
}

std::string EncodePath(const std::string& path) {
  if (!NeedsEncoding(path)) return path;
  std::vector<char> out(kVirtualPathSize);
  const int32_t n = HttpEncodeText(2, path.c_str(), int32_t(path.size()), out.data(), int32_t(out.size()));
  return n > 0 ? std::string(out.data(), size_t(n)) : std::string();
}

// A directory's local path without its final separator.
std::string WithoutSlash(const char* path) {
  std::string out = path;
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string Normalize(const std::string& path) {
  char out[kVirtualPathSize];
  return HttpNormalizeVirtualPath(path.c_str(), out) > 0 ? std::string(out) : std::string();
}

// Compares a node's virtual path with a request path; the length matched (the node's
// whole length) when it covers the request, -1 otherwise. exact tells an exact match.
int64_t Match(const std::string& node, const std::string& request, bool* exact) {
  size_t i = 0;
  for (; i < node.size() && i < request.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(node[i])) != std::tolower(static_cast<unsigned char>(request[i])))
      return -1;
  if (i == request.size()) {
    *exact = i == node.size() || (i + 1 == node.size() && node[i] == '/');
    return *exact ? int64_t(node.size()) : -1;
  }
  *exact = false;
  return node.back() == '/' ? int64_t(node.size()) : -1;
}

bool DefaultAccess(const HttpServerRecord& r, uint32_t access, uint32_t& out) {
  if (access & httpAccessDefault) out = r.pathAccess | (access & httpAccessProtected);
  else if (access & httpAccessRestricted) out = httpAccessRead | (access & httpAccessProtected);
  else out = access;
  return true;
}

// The path with every link of its existing part resolved (the part that does not exist
// yet appended as it is); "" when not even the file system's root resolves.
std::string Resolved(const std::string& path) {
  char real[PATH_MAX];
  std::string probe = path, tail;
  while (!::realpath(probe.c_str(), real)) {
    const size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return std::string();
    tail = probe.substr(slash) + tail;
    probe.resize(slash);
  }
  return real + tail;
}

// How path resolves below base, asked of the kernel from the directory held open for base:
// Plain or Missing when no symbolic link lies between them (the part of path that exists
// is then below base), Unknown when one does or when it cannot tell (base empty or gone,
// path not under base as text).
struct Resolution {
  bool valid = false;
  std::string base, path;
  plat::BeneathResult result = plat::BeneathResult::Unknown;
  struct stat st {};
};
// The memo of the thread's ResolutionMemo, null outside one; its strings keep their room
// from one request to the next.
thread_local Resolution tResolution;
thread_local Resolution* tMemo = nullptr;

plat::BeneathResult AskKernel(const std::string& base, const std::string& path, struct stat* st) {
  if (!PathInside(base, path)) return plat::BeneathResult::Unknown;
  const auto anchor = plat::AnchorOf(base);
  if (!anchor) return plat::BeneathResult::Unknown;
  return plat::ResolveBeneath(anchor->fd(), path.substr(std::min(base.size(), path.size())), st);
}

plat::BeneathResult BelowBase(const std::string& base, const std::string& path, struct stat* st) {
  Resolution* m = tMemo;
  if (!m) return AskKernel(base, path, st);
  if (!m->valid || m->base != base || m->path != path) {
    m->st = {};
    m->result = AskKernel(base, path, &m->st);
    m->base = base;
    m->path = path;
    m->valid = true;
  }
  *st = m->st;
  return m->result;
}

// Where a link leads decides: the virtual path of the host that covers the resolved path
// (the longest), else the host's document root; false when neither does.
bool OwnerOf(const Client& c, const std::string& resolved, uint32_t* access, std::string* base) {
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  size_t best = 0;
  for (const VirtualPath& vp : r.paths) {
    if ((vp.node.access & kDeleted) || vp.node.hostId != s.hostId) continue;
    const std::string local = Resolved(WithoutSlash(vp.node.localPath));
    if (local.empty() || local.size() < best || !PathInside(local, resolved)) continue;
    if (!vp.node.directory && local != resolved) continue;
    best = local.size();
    *access = vp.node.access;
    *base = local;
  }
  if (best > 0) return true;
  const std::string root = Resolved(s.root);
  if (root.empty() || !PathInside(root, resolved)) return false;
  *access = r.pathAccess;
  *base = root;
  return true;
}

// Rights checked against a resolved local path with its path access word; base is the
// directory the request's own part of the path was placed under.
bool CheckRights(const Client& c, uint32_t rights, const std::string& path, const std::string& base,
                 uint32_t pathAccess, uint32_t* error) {
  HttpSession& s = *c.session;
  const uint32_t options = c.server->options.load();
  *error = cvErrorAccessDenied;
  if ((rights & 15) & ~s.clientAccess) return false;
  if ((s.clientAccess & httpAccessRestricted) && !PathInside(s.root, path)) return false;
  // A hidden component anywhere below the base hides what lies under it, whether or not
  // it exists yet.
  if (HiddenBelow(base, path) && ((options & httpServerRestricted) || !(options & httpServerHiddenFiles)))
    return false;
  struct stat st {};
  const plat::BeneathResult below = BelowBase(base, path, &st);
  const bool linkFree = below != plat::BeneathResult::Unknown;
  if (below == plat::BeneathResult::Plain || (!linkFree && ::stat(path.c_str(), &st) == 0)) {
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
    if (S_ISREG(st.st_mode)) rights &= ~httpAccessList;
  }
  if ((rights & 15) & ~pathAccess) return false;
  // A symbolic link on the way is judged by where it leads as well: the rights of the
  // virtual path (or root) that owns the target, and any hidden component below that.
  const std::string resolved = linkFree ? path : Resolved(path);
  if (!linkFree && resolved != path && resolved != Resolved(base) + path.substr(std::min(base.size(), path.size()))) {
    uint32_t targetAccess = 0;
    std::string targetBase;
    if (!OwnerOf(c, resolved, &targetAccess, &targetBase)) return false;
    if (HiddenBelow(targetBase, resolved) && ((options & httpServerRestricted) || !(options & httpServerHiddenFiles)))
      return false;
    if ((rights & 15) & ~targetAccess) return false;
  }
  *error = 0;
  return true;
}

struct Mapping {
  std::string local, base;
  uint32_t access = 0;
};

// Maps a normalised request path: the MultiUser home form, a virtual path, or the
// document root; false when it cannot be mapped.
bool MapVirtual(const Client& c, const std::string& path, Mapping& m, uint32_t* error) {
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  if (path.empty() || path[0] != '/') return *error = cvErrorFileNotFound, false;
  if ((r.options.load() & httpServerMultiUser) && path.size() > 2 && path[1] == '~') {
    const size_t sep = path.find('/', 2);
    const std::string name = path.substr(2, sep == std::string::npos ? std::string::npos : sep - 2);
    const User* u = name.size() < 64 ? FindUser(r, s.hostId, name) : nullptr;
    if (!u) return *error = cvErrorFileNotFound, false;
    m.base = u->home;
    m.local = CombineUnder(u->home, sep == std::string::npos ? std::string() : path.substr(sep));
    m.access = r.pathAccess;
    return !m.local.empty() || (*error = cvErrorFileNotFound, false);
  }
  uint32_t resolveError = 0;
  if (const VirtualPath* vp = ResolvePath(r, s.hostId, path, m.local, &resolveError)) {
    m.base = WithoutSlash(vp->node.localPath);
    m.access = vp->node.access;
    return !m.local.empty() || (*error = cvErrorFileNotFound, false);
  }
  m.base = s.root;
  m.local = CombineUnder(s.root, path);
  m.access = r.pathAccess;
  return !m.local.empty() || (*error = cvErrorFileNotFound, false);
}

// A path named by the owner or a Destination header: an absolute URL must name the
// session's own virtual host and port; the path is decoded and normalised.
bool PathOfReference(const Client& c, std::string text, std::string& path, uint32_t* error) {
  HttpSession& s = *c.session;
  text.erase(0, std::min(text.size(), text.find_first_not_of(' ')));
  if (text.empty()) return *error = cvErrorInvalidVirtualPath, false;
  if (HttpGetUrlScheme(text.c_str()) != 0 && text[0] != '/') {
    HttpUrl* url = nullptr;
    if (HttpParseUrl(text.c_str(), 0, &url) != 1 || !url) return *error = cvErrorInvalidVirtualPath, false;
    std::unique_ptr<HttpUrl, void (*)(void*)> owner(url, UrlFree);
    if (!url->host || url->port != s.port || HostIdForName(*c.server, url->host) != s.hostId)
      return *error = cvErrorInvalidVirtualPath, false;
    text = url->path ? url->path : "/";
  }
  if (!DecodeRequestPath(text, path)) return *error = cvErrorInvalidVirtualPath, false;
  return true;
}

}  // namespace

std::string NormalizeRequestPath(const std::string& decoded) {
  std::string p;
  p.reserve(decoded.size() + 1);
  for (char ch : decoded) {
    if (ch == '\\') ch = '/';
    if (ch == '/' && !p.empty() && p.back() == '/') continue;
    p += ch;
  }
  if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
  HttpNormalizePath(p.data());
  p.resize(std::strlen(p.c_str()));
  if (p.empty()) p = "/";
  return p;
}

bool DecodeRequestPath(const std::string& raw, std::string& path) {
  std::string decoded;
  decoded.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      decoded += raw[i];
      continue;
    }
    if (i + 2 >= raw.size() || !std::isxdigit(static_cast<unsigned char>(raw[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(raw[i + 2])))
      return false;
    const char ch = char(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
    if (ch == '\0') return false;
    decoded += ch;
    i += 2;
  }
  path = NormalizeRequestPath(decoded);
  return true;
}

// The path must already be normalised: a dot segment left in it is refused rather than
// resolved, so the path that was matched is the path that is mapped.
std::string CombineUnder(const std::string& base, const std::string& rest) {
  std::string tail = rest;
  for (char& ch : tail)
    if (ch == '\\') ch = '/';
  for (size_t pos = 0; pos <= tail.size();) {
    size_t end = tail.find('/', pos);
    if (end == std::string::npos) end = tail.size();
    const std::string segment = tail.substr(pos, end - pos);
    if (segment == "." || segment == "..") return std::string();
    pos = end + 1;
  }
  while (!tail.empty() && tail[0] == '/') tail.erase(0, 1);
  std::string out = base;
  if (!tail.empty()) {
    if (out.empty() || out.back() != '/') out += '/';
    out += tail;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  if (out.size() >= kPathSize) return std::string();
  // The nearest existing ancestor, with its links resolved, must stay below the base: with
  // no link below the base it does.
  struct stat st {};
  if (BelowBase(base, out, &st) != plat::BeneathResult::Unknown) return out;
  char realBase[PATH_MAX], real[PATH_MAX];
  if (!::realpath(base.c_str(), realBase)) return out;
  std::string probe = out;
  while (!::realpath(probe.c_str(), real)) {
    const size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return out;
    probe.resize(slash);
  }
  return PathInside(realBase, real) ? out : std::string();
}

ResolutionMemo::ResolutionMemo() : active_(tMemo == nullptr) {
  if (!active_) return;
  tResolution.valid = false;
  tMemo = &tResolution;
}

ResolutionMemo::~ResolutionMemo() {
  if (active_) tMemo = nullptr;
}

bool StatBelow(const std::string& base, const std::string& path, struct stat* st) {
  // Reached without a link: what the kernel said of it is what stat() says.
  if (BelowBase(base, path, st) == plat::BeneathResult::Plain) return true;
  return ::stat(path.c_str(), st) == 0;
}

bool HiddenBelow(const std::string& base, const std::string& local) {
  std::string rest;
  if (PathInside(base, local) && local.size() > base.size()) {
    rest = local.substr(base.size());
  } else {
    const size_t slash = local.find_last_of('/');
    rest = slash == std::string::npos ? local : local.substr(slash);
  }
  for (size_t pos = 0; pos < rest.size(); ++pos)
    if ((pos == 0 || rest[pos - 1] == '/') && rest[pos] == '.') return true;
  return false;
}

uint32_t HostIdForName(HttpServerRecord& r, const std::string& name) {
  if (name.empty()) return 0;
  for (uint32_t i = 0; i < kMaxHosts; ++i) {
    VirtualHost* h = HostOf(r, i);
    if (!h || h->port != r.port) continue;
    if (IEquals(h->hostName, name)) return i;
    for (uint32_t k = 0; k < h->aliasCount; ++k)
      if (IEquals(h->aliases[k], name)) return i;
  }
  return 0;
}

VirtualHost* HostOf(HttpServerRecord& r, uint32_t id) {
  if (id >= kMaxHosts) return nullptr;
  VirtualHost* h = r.hosts[id].get();
  return h && !(h->flags & kDeleted) ? h : nullptr;
}

const VirtualPath* ResolvePath(HttpServerRecord& r, uint32_t hostId, const std::string& path, std::string& local,
                               uint32_t* error) {
  if (path.empty() || path[0] != '/') return *error = cvErrorInvalidVirtualPath, nullptr;
  const VirtualPath* best = nullptr;
  for (const VirtualPath& vp : r.paths) {
    if ((vp.node.access & kDeleted) || vp.node.hostId != hostId) continue;
    bool exact = false;
    const int64_t n = Match(vp.matchPath, path, &exact);
    if (n < 0) continue;
    if (exact) {
      best = &vp;
      break;
    }
    if (vp.node.directory && (!best || best->matchPath.size() < vp.matchPath.size())) best = &vp;
  }
  if (!best) return *error = cvErrorVirtualPathNotFound, nullptr;
  const std::string rest = path.size() > best->matchPath.size() ? path.substr(best->matchPath.size()) : "";
  local = CombineUnder(best->node.localPath, rest);
  return best;
}

void DeletePathsOfLocal(HttpServerRecord& r, uint32_t hostId, const std::string& local) {
  std::lock_guard lk(Lib().lock());
  for (VirtualPath& vp : r.paths) {
    if ((vp.node.access & kDeleted) || vp.node.hostId != hostId) continue;
    if (WithoutSlash(vp.node.localPath) == local) vp.node.access |= kDeleted;
  }
}

bool MapRequest(const Client& c, uint32_t* error) {
  HttpSession& s = *c.session;
  if (s.localMapped) return true;
  if (FindScript(c)) {
    s.localBase = s.root;
    s.localPath = CombineUnder(s.root, s.pathInfoPath);
    s.localMapped = true;
    return true;
  }
  if (s.uri.empty()) return *error = cvErrorInvalidResource, false;
  Mapping m;
  if (!MapVirtual(c, s.path, m, error)) return false;
  s.pathAccess = m.access;
  if (!(c.server->options.load() & httpServerNoIndex) && s.path.back() == '/' && IsDirectory(m.local)) {
    char index[kPathSize];
    if (HttpFindDefaultDocument(m.local.c_str(), index) > 0) m.local = index;
  }
  s.localPath = m.local;
  s.localBase = m.base;
  s.localMapped = true;
  return true;
}

bool CheckAccess(const Client& c, uint32_t rights, uint32_t* error) {
  HttpSession& s = *c.session;
  if (s.uri.empty()) return *error = cvErrorInvalidResource, false;
  if (!MapRequest(c, error)) return false;
  std::string path = s.localPath, base = s.localBase;
  if (s.script) {
    if (rights & httpAccessWrite) return *error = cvErrorAccessDenied, false;
    // The program itself lies outside the document root by design; only scripts are
    // confined.
    if (s.scriptPath.empty()) {
      if ((rights & 15) & ~s.clientAccess || (rights & 15) & ~s.pathAccess)
        return *error = cvErrorAccessDenied, false;
      return *error = 0, true;
    }
    path = s.scriptPath;
    base = s.scriptBase;
  }
  return CheckRights(c, rights, path, base, s.pathAccess, error);
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

int32_t HttpNormalizeVirtualPath(const char* input, char* out) {
  if (!input || !out) return 0;
  out[0] = '\0';
  std::string p = input;
  if (p.size() >= 2 && p[0] == '~' && (p[1] == '/' || p[1] == '\\')) p.erase(0, 1);
  if (p.empty() || (p[0] != '/' && p[0] != '\\')) return 0;
  if (p.find_first_of("*:;<>?") != std::string::npos) return 0;
  const std::string result = NormalizeRequestPath(p);
  if (result.size() >= kVirtualPathSize) return 0;
  std::memcpy(out, result.c_str(), result.size() + 1);
  return int32_t(result.size());
}

int32_t HttpServerAddHost(uint64_t server, const char* hostName, uint32_t port, const char* directory) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return -1;
  if (!hostName || !*hostName || std::strlen(hostName) > 255) return Fail(server, cvErrorInvalidHostName, -1);
  if (port == 0) port = r->port;
  if (port != r->port) return Fail(server, cvErrorInvalidServicePort, -1);
  std::string root = directory && *directory ? Canonical(ExpandPath(directory)) : r->root;
  if (root.empty() || !IsDirectory(root)) return Fail(server, cvErrorDirectoryNotFound, -1);
  std::lock_guard lk(Lib().lock());
  int32_t slot = -1;
  for (uint32_t i = 0; i < kMaxHosts && slot < 0; ++i)
    if (VirtualHost* h = HostOf(*r, i); h && IEquals(h->hostName, hostName)) slot = int32_t(i);
  bool fresh = false;
  for (uint32_t i = 0; i < kMaxHosts && slot < 0; ++i)
    if (!r->hosts[i] || (r->hosts[i]->flags & kDeleted)) slot = int32_t(i), fresh = true;
  if (slot < 0) return Fail(server, cvErrorTooManyVirtualHosts, -1);
  if (!r->hosts[slot]) r->hosts[slot] = std::make_unique<VirtualHost>();
  VirtualHost& h = *r->hosts[slot];
  // A reused slot keeps its record (readers may hold it); fields change under the lock.
  h.flags = 0;
  h.hostId = uint32_t(slot);
  h.port = port;
  h.aliasCount = 0;
  std::snprintf(h.hostName, sizeof h.hostName, "%s", hostName);
  std::snprintf(h.root, sizeof h.root, "%s", root.c_str());
  if (fresh) r->hostCount.fetch_add(1);
  return slot;
}

int32_t HttpServerAddHostAlias(uint64_t server, uint32_t hostId, const char* alias) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!alias || !*alias || std::strlen(alias) > 255) return Fail(server, cvErrorInvalidHostName);
  std::lock_guard lk(Lib().lock());
  VirtualHost* h = HostOf(*r, hostId);
  if (!h) return Fail(server, hostId >= kMaxHosts ? cvErrorInvalidVirtualHost : cvErrorVirtualHostNotFound);
  if (h->aliasCount >= 32) return Fail(server, cvErrorInvalidParameter);
  std::snprintf(h->aliases[h->aliasCount], sizeof h->aliases[0], "%s", alias);
  ++h->aliasCount;
  return 1;
}

int32_t HttpServerDeleteHost(uint64_t server, uint32_t hostId) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (hostId < 1 || hostId >= kMaxHosts) return Fail(server, cvErrorInvalidVirtualHost);
  std::lock_guard lk(Lib().lock());
  VirtualHost* h = HostOf(*r, hostId);
  if (!h) return Fail(server, cvErrorVirtualHostNotFound);
  for (VirtualPath& vp : r->paths)
    if (vp.node.hostId == hostId) vp.node.access |= kDeleted;
  h->flags |= kDeleted;
  r->hostCount.fetch_sub(1);
  return 1;
}

const HttpVirtualHost* HttpServerGetHost(uint64_t server, uint32_t hostId) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  if (hostId >= kMaxHosts) return Fail<const HttpVirtualHost*>(server, cvErrorInvalidVirtualHost, nullptr);
  const VirtualHost* h = HostOf(*r, hostId);
  return h ? h : Fail<const HttpVirtualHost*>(server, cvErrorVirtualHostNotFound, nullptr);
}

const HttpVirtualHost* HttpServerFindHost(uint64_t server, const char* hostName, uint32_t port) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  if (!hostName || !*hostName) return Fail<const HttpVirtualHost*>(server, cvErrorInvalidHostName, nullptr);
  if (port == 0) port = r->port;
  if (port != r->port) return Fail<const HttpVirtualHost*>(server, cvErrorInvalidServicePort, nullptr);
  for (uint32_t i = 0; i < kMaxHosts; ++i) {
    const VirtualHost* h = HostOf(*r, i);
    if (!h || h->port != port) continue;
    if (IEquals(h->hostName, hostName)) return h;
    for (uint32_t k = 0; k < h->aliasCount; ++k)
      if (IEquals(h->aliases[k], hostName)) return h;
  }
  return Fail<const HttpVirtualHost*>(server, cvErrorVirtualHostNotFound, nullptr);
}

int32_t HttpServerFindHostId(uint64_t server, const char* hostName, uint32_t port) {
  const HttpVirtualHost* h = HttpServerFindHost(server, hostName, port);
  return h ? int32_t(h->hostId) : -1;
}

int32_t HttpServerAddPath(uint64_t server, uint32_t hostId, uint32_t access, const char* virtualPath,
                          const char* localPath) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!HostOf(*r, hostId)) return Fail(server, cvErrorInvalidVirtualHost);
  uint32_t word = 0;
  DefaultAccess(*r, access, word);
  word &= ~(httpAccessRestricted | httpAccessDefault);
  std::string vpath = Normalize(virtualPath ? virtualPath : "");
  if (vpath.empty() || (vpath.size() > 1 && vpath[1] == '~')) return Fail(server, cvErrorInvalidVirtualPath);
  vpath = EncodePath(vpath);
  if (vpath.empty()) return Fail(server, cvErrorInvalidVirtualPath);
  if (!localPath || !*localPath || std::strlen(localPath) >= kPathSize) return Fail(server, cvErrorInvalidFileName);
  std::string local = Canonical(std::strchr(localPath, '%') || std::strchr(localPath, '$') ? ExpandPath(localPath)
                                                                                            : std::string(localPath));
  if (local.empty()) return Fail(server, cvErrorInvalidFileName);
  if (!HttpServerValidatePath(server, local.c_str(), 1)) return 0;
  VirtualPath vp;
  vp.node.hostId = hostId;
  if (IsDirectory(local)) {
    vp.node.directory = 1;
    if (vpath.size() >= 2 && vpath.back() != '/') vpath += '/';
    if (local.back() != '/') local += '/';
  } else {
    word &= ~httpAccessList;
  }
  if (vpath.size() >= kVirtualPathSize || local.size() >= kPathSize) return Fail(server, cvErrorInvalidVirtualPath);
  vp.node.access = word;
  std::memcpy(vp.node.virtualPath, vpath.c_str(), vpath.size() + 1);
  std::memcpy(vp.node.localPath, local.c_str(), local.size() + 1);
  bool decoded = false;
  vp.matchPath = DecodePercent(vpath, &decoded);
  if (!decoded) vp.matchPath = vpath;
  std::lock_guard lk(Lib().lock());
  // A reused node keeps its place in the list and its link.
  auto reuse = [&](VirtualPath& existing) {
    HttpVirtualPath* next = existing.node.next;
    existing.node = vp.node;
    existing.node.next = next;
    existing.matchPath = vp.matchPath;
    return 1;
  };
  for (VirtualPath& existing : r->paths)
    if (!(existing.node.access & kDeleted) && IEquals(existing.node.virtualPath, vpath)) return reuse(existing);
  for (VirtualPath& existing : r->paths)
    if (existing.node.access & kDeleted) return reuse(existing);
  HttpVirtualPath* last = r->paths.empty() ? nullptr : &r->paths.back().node;
  r->paths.push_back(std::move(vp));
  if (last) last->next = &r->paths.back().node;
  return 1;
}

int32_t HttpServerDeletePath(uint64_t server, uint32_t hostId, const char* virtualPath) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return 0;
  if (!HostOf(*r, hostId)) return Fail(server, cvErrorVirtualHostNotFound);
  std::string vpath = Normalize(virtualPath ? virtualPath : "");
  if (vpath.empty()) return Fail(server, cvErrorInvalidVirtualPath);
  vpath = EncodePath(vpath);
  std::lock_guard lk(Lib().lock());
  for (VirtualPath& vp : r->paths) {
    if ((vp.node.access & kDeleted) || vp.node.hostId != hostId) continue;
    if (IEquals(vp.node.virtualPath, vpath) || (vp.node.directory && IEquals(vp.node.virtualPath, vpath + "/"))) {
      vp.node.access |= kDeleted;
      return 1;
    }
  }
  return Fail(server, cvErrorVirtualPathNotFound);
}

const HttpVirtualPath* HttpServerResolvePath(uint64_t server, uint32_t hostId, const char* requestPath,
                                             char* localPath) {
  RecordPtr r = Lib().FindServer(server);
  if (!r || !requestPath) return nullptr;
  std::string local, path;
  uint32_t error = 0;
  if (Normalize(requestPath).empty() || !DecodeRequestPath(requestPath, path))
    return Fail<const HttpVirtualPath*>(server, cvErrorInvalidVirtualPath, nullptr);
  const VirtualPath* vp = ResolvePath(*r, hostId, path, local, &error);
  if (!vp) return Fail<const HttpVirtualPath*>(server, error, nullptr);
  if (localPath) std::snprintf(localPath, kPathSize, "%s", local.c_str());
  return &vp->node;
}

int32_t HttpSessionGetLocalPath(uint64_t server, uint32_t clientId, char* buffer, uint32_t size) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  uint32_t error = 0;
  if (!MapRequest(c, &error)) return Fail(server, error);
  const std::string& p = c.session->localPath;
  if (!buffer || size <= p.size()) return Fail(server, cvErrorBufferTooSmall);
  std::memcpy(buffer, p.c_str(), p.size() + 1);
  return int32_t(p.size());
}

int32_t HttpSessionSetLocalPath(uint64_t server, uint32_t clientId, const char* path) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.tokens.empty()) return Fail(server, cvErrorInvalidCommand);
  if (!path || !*path) {
    s.localMapped = false;
    uint32_t error = 0;
    return MapRequest(c, &error) ? 1 : Fail(server, error);
  }
  const std::string local = path[0] == '/' ? Canonical(path) : CombineUnder(s.root, NormalizeRequestPath(path));
  if (local.empty()) return Fail(server, cvErrorInvalidFileName);
  s.localPath = local;
  s.localBase = path[0] == '/' ? local : s.root;
  s.localMapped = true;
  return 1;
}

int32_t HttpSessionMapPath(uint64_t server, uint32_t clientId, const char* pathText, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  std::string path, local;
  uint32_t error = 0;
  if (!PathOfReference(c, pathText ? pathText : "", path, &error)) return Fail(server, error);
  if (!ResolvePath(*c.server, s.hostId, path, local, &error)) local = CombineUnder(s.root, path);
  if (local.empty()) return Fail(server, cvErrorVirtualPathNotFound);
  if (local.size() >= kPathSize) return Fail(server, cvErrorBufferTooSmall);
  if (buffer) std::memcpy(buffer, local.c_str(), local.size() + 1);
  return int32_t(local.size());
}

int32_t HttpSessionCheckAccess(uint64_t server, uint32_t clientId, uint32_t rights) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  uint32_t error = 0;
  if (!CheckAccess(c, rights, &error)) return Fail(server, error);
  InetSetLastError(0);
  return 1;
}

int32_t HttpSessionCheckPath(uint64_t server, uint32_t clientId, const char* pathText, uint32_t rights) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  if (s.tokens.empty()) return Fail(server, cvErrorInvalidResource);
  if (rights == 0 || !pathText) return Fail(server, cvErrorInvalidParameter);
  std::string path;
  uint32_t error = 0;
  if (!PathOfReference(c, pathText, path, &error)) return Fail(server, error);
  Mapping m;
  if (!MapVirtual(c, path, m, &error)) return Fail(server, error);
  if (!CheckRights(c, rights, m.local, m.base, m.access, &error)) return Fail(server, error);
  InetSetLastError(0);
  return 1;
}

namespace cvhttpsrv {
namespace {

// The node whose local directory (or file) covers the local path, the longest first.
const VirtualPath* CoveringNode(HttpServerRecord& r, uint32_t hostId, const std::string& local, std::string& rest) {
  const VirtualPath* best = nullptr;
  size_t bestLength = 0;
  for (const VirtualPath& vp : r.paths) {
    if ((vp.node.access & kDeleted) || vp.node.hostId != hostId) continue;
    const std::string nodeLocal = WithoutSlash(vp.node.localPath);
    const bool covers = vp.node.directory ? PathInside(nodeLocal, local) : nodeLocal == local;
    if (covers && (!best || bestLength < nodeLocal.size())) best = &vp, bestLength = nodeLocal.size();
  }
  if (best) rest = local.size() > bestLength ? local.substr(bestLength + 1) : "";
  return best;
}

std::string JoinVirtual(const std::string& virtualPath, const std::string& rest) {
  if (rest.empty()) return virtualPath;
  return virtualPath + (virtualPath.back() == '/' ? "" : "/") + rest;
}

}  // namespace
}  // namespace cvhttpsrv

const HttpVirtualPath* HttpServerLocalToVirtual(uint64_t server, uint32_t hostId, const char* localPath,
                                                char* virtualPath) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  const std::string local = Canonical(localPath ? localPath : "");
  if (local.empty()) return Fail<const HttpVirtualPath*>(server, cvErrorDirectoryNotFound, nullptr);
  std::string rest;
  const VirtualPath* vp = CoveringNode(*r, hostId, local, rest);
  if (!vp) return Fail<const HttpVirtualPath*>(server, cvErrorDirectoryNotFound, nullptr);
  const std::string out = JoinVirtual(vp->node.virtualPath, rest).substr(0, kPathSize - 1);
  if (virtualPath) std::memcpy(virtualPath, out.c_str(), out.size() + 1);
  return &vp->node;
}

const HttpVirtualPath* HttpServerFindPathByLocal(uint64_t server, uint32_t hostId, const char* localPath) {
  RecordPtr r = Lib().FindServer(server);
  if (!r) return nullptr;
  const std::string local = Canonical(localPath ? localPath : "");
  if (local.empty()) return Fail<const HttpVirtualPath*>(server, cvErrorInvalidFileName, nullptr);
  for (const VirtualPath& vp : r->paths)
    if (!(vp.node.access & kDeleted) && vp.node.hostId == hostId && WithoutSlash(vp.node.localPath) == local)
      return &vp.node;
  return Fail<const HttpVirtualPath*>(server, cvErrorFileNotFound, nullptr);
}

int32_t HttpServerGetVirtualPath(uint64_t server, uint32_t clientId, const char* localPath, char* buffer) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  HttpSession& s = *c.session;
  const std::string local = Canonical(localPath ? localPath : "");
  if (local.empty()) return Fail(server, cvErrorInvalidFileName);
  std::string rest, out;
  if (const VirtualPath* node = CoveringNode(*c.server, s.hostId, local, rest)) {
    if ((s.clientAccess & httpAccessRestricted) && !PathInside(s.root, local))
      return Fail(server, cvErrorInvalidFileName);
    out = JoinVirtual(node->node.virtualPath, rest);
  } else if (PathInside(s.root, local)) {
    out = local.size() > s.root.size() ? local.substr(s.root.size()) : "/";
    if (out[0] != '/') out = "/" + out;
  } else {
    return Fail(server, cvErrorInvalidFileName);
  }
  if (out.size() >= kPathSize) return Fail(server, cvErrorBufferTooSmall);
  if (buffer) std::memcpy(buffer, out.c_str(), out.size() + 1);
  return int32_t(out.size());
}
