#pragma once
// Records of the HTTP server library: the server, its virtual hosts and paths, users and
// CGI registrations, the per-client session, and the helpers shared by its sources.
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors/error_codes.h"
#include "ftpsrv/server_skeleton.h"
#include "httpsrv/httpsrv.h"
#include "sockets/inet.h"
#include "sockets/server/server.h"

namespace cvhttpsrv {

inline constexpr uint32_t kPathSize = 260;
inline constexpr uint32_t kVirtualPathSize = 1024;
inline constexpr uint32_t kLineSize = 5120;
inline constexpr uint32_t kMaxHosts = 128;
inline constexpr uint32_t kDeleted = 0x8000;
// What a client session is doing: the idle check acts only on an idle one.
enum class SessionState : uint32_t {
  ReceivingBody = 1,
  SendingBody = 2,
  Idle = 255,
};
inline constexpr uint32_t kVersion09 = 9, kVersion10 = 0x10000, kVersion11 = 0x10001;
inline constexpr uint32_t kMethodUnknown = 255;

enum MethodId : uint32_t {
  kGet = 1,
  kHead,
  kPost,
  kPut,
  kOptions,
  kTrace,
  kDelete,
  kCopy,
  kMove,
  kMkcol,
  kPropfind,
  kProppatch,
  kLock,
  kUnlock,
  kSearch,
  kConnect
};

// Method flags: the low bits are passed to the handler, the high ones belong to the table.
inline constexpr uint32_t kMethodBody = 0x0001;  // the request may carry a body
inline constexpr uint32_t kMethodChangesFiles = 0x0002;
inline constexpr uint32_t kMethodRequired = 0x1000;  // cannot be disabled
inline constexpr uint32_t kMethodDisabled = 0x8000;

using Handler = void (*)(uint64_t server, uint32_t clientId, uint32_t flags);

struct MethodEntry {
  const char* name;
  uint32_t id;
  uint32_t logLevel;
  std::atomic<uint32_t> flags{0};
  std::atomic<uint32_t> useCount{0};
  Handler handler;
};

using VirtualHost = HttpVirtualHost;

// A virtual path node and, for matching, its path decoded.
struct VirtualPath {
  HttpVirtualPath node{};
  std::string matchPath;
};

struct User : HttpUser {
  User() : HttpUser{} {}
  User(const User&) = delete;
  User& operator=(const User&) = delete;
  ~User() { explicit_bzero(password, sizeof password); }
};

struct Registration {
  uint32_t hostId = 0;
  uint32_t kind = 0;  // 1 program, 2 handler
  uint32_t timeLimitMs = 0;
  std::string virtualPath, extension, program, commandLine, directory;
};

struct HttpServerRecord {
  std::atomic<uint64_t> serverHandle{uint64_t(INVALID_SOCKET)};
  std::atomic<uint32_t> accepting{0};
  std::atomic<uint32_t> lastError{0};
  std::atomic<uint32_t> useCount{0};
  std::atomic<uint32_t> activeEvents{0};  // engine events of this server being handled now
  std::mutex eventThreadsLock;
  std::vector<uint32_t> eventThreads;  // the threads handling them (guarded by eventThreadsLock)
  uint64_t registryKey = 0;
  SockAddress address{};
  uint32_t port = 0;
  std::atomic<uint32_t> options{0};
  uint32_t clientAccess = 15, pathAccess = 9;
  HttpServerEventCallback callback = nullptr;
  uint64_t context = 0;
  SecCredentials* credentials = nullptr;
  std::atomic<uint32_t> maxClients{100}, maxPerAddress{8};
  uint32_t maxRequests = 5, maxRequestSize = 0x400000;
  std::atomic<uint32_t> logFormat{0}, logLevel{0};
  uint32_t cacheLifetime = 7200, idleTime = 60, execTime = 5;
  int64_t startTime = 0;
  std::string hostName, uuidText, identity, root, temp, logFileName;
  int logFile = -1;
  uint32_t logLines = 0;
  // Hosts and paths: records are never freed while the server runs, so client threads
  // read them without the lock (deque-like stability through unique_ptr).
  std::unique_ptr<VirtualHost> hosts[kMaxHosts];
  std::atomic<uint32_t> hostCount{0};
  std::list<VirtualPath> paths;
  std::list<User> users;
  std::list<Registration> registrations;
  std::unique_ptr<MethodEntry[]> methods;
};

using HeaderTable = HttpHeaderTable;

struct HttpSession {
  // Empties the header tables instead of zeroing them: together they are 144 KiB, and
  // zeroing them was a tenth of the CPU time of a new connection.
  HttpSession();
  uint64_t serverHandle = uint64_t(INVALID_SOCKET);
  SOCKET controlSocket = INVALID_SOCKET;
  uint32_t clientId = 0;
  uint64_t registryKey = 0;
  uint32_t threadId = 0;
  SockAddress peer{};
  uint32_t peerPort = 0;
  char peerText[64] = {};
  std::string hostName, userName, password, root;
  uint32_t port = 0, hostId = 0;
  std::atomic<SessionState> state{SessionState::Idle};  // changed through SetState only
  std::atomic<uint32_t> pendingEvent{0}, pendingError{0};
  std::atomic<uint32_t> idleTime{60};
  uint32_t badRequests = 0, requestCount = 0;
  uint32_t methodId = kMethodUnknown, methodLogLevel = 255;
  bool credentialsPresent = false, authenticated = false, keepAlive = false, secure = false;
  bool bodyRead = false, answered = false;
  bool bodyUnread = false;  // the body was dropped without reading it: the connection ends
  uint32_t clientAccess = 15, pathAccess = 9;
  uint32_t version = 0;
  HeaderTable request, response;
  std::atomic<int64_t> connectTime{0}, lastActivity{0};
  uint32_t milliseconds = 0;
  uint64_t bytesReceived = 0, bytesSent = 0;
  std::string localPath;
  std::string localBase;  // the directory the request's own path was placed under
  bool localMapped = false;
  const Registration* script = nullptr;
  std::string programPath, scriptPath, scriptBase;
  bool hasPathInfo = false;
  std::vector<std::string> tokens;
  // uri and pathInfo as sent (percent-encoded); path and pathInfoPath the same decoded
  // with dot segments removed, segment for segment: every mapping and match uses these.
  std::string method, uri, query, pathInfo;
  std::string path, pathInfoPath;
  bool hasQuery = false;
  bool authFailed = false;  // the credentials were refused: paid for where they are needed
  uint32_t status = 0;
  std::string statusText;
  std::vector<char> env;  // the CGI environment block: name=value\0 ... (no final \0)
  bool envBuilt = false;
  std::vector<char> cgiOutput;
  int32_t exitCode = 0;
};

// Stores the session's state and returns the one it replaces (traced).
SessionState SetState(HttpSession& s, SessionState next) noexcept;

using RecordPtr = std::shared_ptr<HttpServerRecord>;
using SessionPtr = std::shared_ptr<HttpSession>;
using Library = cvsrv::ServerLibrary<HttpServerRecord, HttpSession>;
Library& Lib();

// A server and one of its sessions, both kept alive while a client thread uses them.
struct Client {
  RecordPtr server;
  SessionPtr session;
  explicit operator bool() const { return server && session; }
};
Client FindClient(uint64_t server, uint32_t clientId);

template <typename T>
T Fail(uint64_t server, uint32_t code, T result) {
  Lib().SetLastError(server, code);
  return result;
}
inline int32_t Fail(uint64_t server, uint32_t code) { return Fail<int32_t>(server, code, 0); }

// Events.
int32_t Notify(const Client& c, uint16_t event, uint32_t error = 0);
// True when the calling thread is handling an engine event of this server.
bool InsideEventOf(const HttpServerRecord& r);

// Small text helpers.
int64_t Now();
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view text, std::string_view prefix);
std::string Trim(const std::string& text);
std::string ToUpper(std::string text);
std::string FormatHttpDate(int64_t seconds);
// Text placed into a generated page: markup characters and quotes become entities.
std::string HtmlEscape(const std::string& text);
std::string AbsolutePath(const std::string& path);  // "" when it cannot be made absolute
std::string ExpandPath(const std::string& path);    // environment references expanded
std::string Canonical(const std::string& path);     // normalised absolute path, "" on failure
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
bool Exists(const std::string& path);
bool PathInside(const std::string& base, const std::string& path);  // equal or below

// Method table.
void CopyMethods(HttpServerRecord& r);
MethodEntry* FindMethod(HttpServerRecord& r, const std::string& name);

// Headers (the value found is null when absent).
bool HeaderParseLine(HeaderTable& t, std::string_view line, uint32_t* error);
const char* HeaderFind(const HeaderTable& t, std::string_view name);
bool HeaderSet(HeaderTable& t, std::string_view name, std::string_view value, uint32_t* error);
void ClearHeaders(HeaderTable& t);
void ClearResponseHeaders(HeaderTable& t);
std::string RequestHeader(const HttpSession& s, const char* name, size_t limit = 1023);

// Paths and access. NormalizeRequestPath turns '\\' into '/', drops empty segments and
// removes "." and ".." segments: the one normal form every request path is matched and
// mapped in. DecodeRequestPath percent-decodes and normalises a path from the network;
// false for a bad escape or an encoded zero byte. CombineUnder places a normalised path
// below a base directory (a symbolic link may not lead out of it); "" otherwise.
std::string NormalizeRequestPath(const std::string& decoded);
bool DecodeRequestPath(const std::string& raw, std::string& path);
std::string CombineUnder(const std::string& base, const std::string& rest);
// True when a component of local below base starts with a dot (local itself when they are
// the same path).
bool HiddenBelow(const std::string& base, const std::string& local);
// While one lives on a thread, how a path resolves below its base is asked of the kernel
// once for the thread's last path: a request's mapping, its type check and its rights
// check ask the same question within microseconds, and nothing changes the file system
// between them. For requests that only read; nested ones leave the outer one alone.
class ResolutionMemo {
 public:
  ResolutionMemo();
  ~ResolutionMemo();
  ResolutionMemo(const ResolutionMemo&) = delete;
  ResolutionMemo& operator=(const ResolutionMemo&) = delete;

 private:
  bool active_;
};
// stat() of a mapped path below its base; answered from the thread's memo when there is one.
bool StatBelow(const std::string& base, const std::string& path, struct stat* st);
VirtualHost* HostOf(HttpServerRecord& r, uint32_t id);
// path must be in the normal form above.
const VirtualPath* ResolvePath(HttpServerRecord& r, uint32_t hostId, const std::string& path, std::string& local,
                               uint32_t* error);
// The virtual host a host name selects (an unknown name selects the default host).
uint32_t HostIdForName(HttpServerRecord& r, const std::string& name);
bool MapRequest(const Client& c, uint32_t* error);
bool CheckAccess(const Client& c, uint32_t rights, uint32_t* error);
void DeletePathsOfLocal(HttpServerRecord& r, uint32_t hostId, const std::string& local);
std::string RequestUrl(const HttpSession& s);
std::string RequestLine(const HttpSession& s);
// Answers a request line that cannot be taken (414 too long, 400 with bytes no request
// line holds) once the rest of the input is dropped.
void RefuseRequestLine(const Client& c, uint32_t status);

// Responses and pages (after the request is answered the session's answered flag is set).
bool SendError(const Client& c, uint32_t status, const char* message = nullptr);
bool Disconnect(const Client& c);
void CloseUnlessKeepAlive(const Client& c);

// Body reading into memory, a file or nowhere.
bool ReadBodyDiscard(const Client& c, bool limit = false);
bool ReadBodyToMemory(const Client& c, std::vector<char>& out);
bool ReadBodyToFile(const Client& c, int fd, bool limit);

// Users.
const User* FindUser(HttpServerRecord& r, uint32_t hostId, const std::string& name);

// CGI.
bool FindScript(const Client& c);
bool RunCgi(const Client& c, const char* body, size_t length);

// Log.
void CloseLog(HttpServerRecord& r);

// Helpers of the handlers.
bool SendDirectoryIndex(const Client& c, const std::string& directory, const std::string& pattern = "");
int CreateTempFile(HttpServerRecord& r, std::string& name);
bool ValidatePath(uint64_t server, HttpServerRecord& r, const std::string& path, uint32_t mode);
bool FileInfo(const std::string& path, std::string* lastModified, std::string* etag, uint64_t* size,
              uint32_t* error);
std::string DecodePercent(const std::string& text, bool* ok);

// Handlers.
void HandleGet(uint64_t server, uint32_t clientId, uint32_t flags);
void HandlePut(uint64_t server, uint32_t clientId, uint32_t flags);
void HandleDelete(uint64_t server, uint32_t clientId, uint32_t flags);
void HandleOptions(uint64_t server, uint32_t clientId, uint32_t flags);
void HandleTrace(uint64_t server, uint32_t clientId, uint32_t flags);
void HandleCopyMove(uint64_t server, uint32_t clientId, uint32_t flags);
void HandleMkcol(uint64_t server, uint32_t clientId, uint32_t flags);

}  // namespace cvhttpsrv
