#pragma once
// The HTTP server library: serves HTTP/0.9, 1.0 and 1.1 clients over the server engine,
// with virtual hosts and paths, Basic authentication, an access log and CGI programs.
// Server handles are the engine's listening socket handles; clients are named by the
// engine's client ids. Failures set the per-thread last error (HttpServerGetLastError).
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/base/heap.h"
#include "platform/types.h"

struct SecCredentials;

// Server options.
inline constexpr uint32_t httpServerMultiUser = 1;
inline constexpr uint32_t httpServerRestricted = 2;
inline constexpr uint32_t httpServerLocalUser = 4;
inline constexpr uint32_t httpServerNoIndex = 8;
inline constexpr uint32_t httpServerReadOnly = 16;
inline constexpr uint32_t httpServerLockFiles = 64;
inline constexpr uint32_t httpServerHiddenFiles = 128;
inline constexpr uint32_t httpServerExternal = 512;
inline constexpr uint32_t httpServerSecure = 4096;

// Access rights.
inline constexpr uint32_t httpAccessRead = 1;
inline constexpr uint32_t httpAccessWrite = 2;
inline constexpr uint32_t httpAccessExecute = 4;
inline constexpr uint32_t httpAccessList = 8;
inline constexpr uint32_t httpAccessRestricted = 0x100000;
inline constexpr uint32_t httpAccessProtected = 0x200000;
inline constexpr uint32_t httpAccessDefault = 0x800000;

inline constexpr uint32_t httpLogDelete = 0x10000000;

// Events reported to the owner.
enum HttpServerEventCode : uint16_t {
  httpEventConnect = 1,
  httpEventDisconnect = 2,
  httpEventTimeout = 3,
  httpEventCommand = 4,
  httpEventResult = 5,
  httpEventAuthenticate = 6,
  httpEventDownload = 7,
  httpEventUpload = 8,
  httpEventExecute = 9,
};

using HttpServerEventCallback = int32_t (*)(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error,
                                            uint64_t context);

struct HttpServerConfig {
  uint32_t size;  // 88
  uint32_t maxClients;
  uint32_t maxClientsPerAddress;
  uint32_t maxRequests;
  uint32_t maxRequestSize;
  uint32_t logFormat;  // low 16 bits the format, httpLogDelete
  uint32_t logLevel;
  uint32_t cacheLifetime;
  uint32_t idleTime;
  uint32_t execTime;
  const char* identity;
  const char* serverUuid;
  const char* hostName;
  const char* rootDirectory;
  const char* tempDirectory;
  const char* logFile;
};
static_assert(sizeof(HttpServerConfig) == 88);

struct HttpRequestInfo {
  uint32_t size;  // 128
  uint32_t flags;  // 1 protected, 2 served by a program, 4 with a script file
  uint32_t version;
  uint32_t pathAccess;
  uint32_t contentLength;
  uint32_t reserved;
  uint32_t hostId;
  uint32_t port;
  const char* method;
  const char* hostName;
  const char* userName;
  const char* password;
  const char* uri;
  const char* query;
  const char* documentRoot;
  const char* pathInfo;
  const char* programPath;
  const char* scriptPath;
  const char* localPath;
  const char* contentType;
};
static_assert(sizeof(HttpRequestInfo) == 128);

struct HttpResponseInfo {
  uint32_t size;  // 40
  uint32_t reserved1;
  uint32_t version;
  uint32_t reserved2;
  uint32_t cacheLifetime;
  uint32_t statusCode;
  const char* statusText;
  const char* contentType;
};
static_assert(sizeof(HttpResponseInfo) == 40);

struct HttpCredentials {
  uint32_t size;  // 208
  uint32_t reserved;
  uint32_t present;
  uint32_t port;
  char hostName[64];
  char userName[64];
  char password[64];
};
static_assert(sizeof(HttpCredentials) == 208);

struct HttpTransferInfo {
  uint32_t size;  // 288
  uint32_t reserved;
  uint32_t direction;  // 0 download, 1 upload
  uint32_t milliseconds;
  uint64_t bytes;
  char localPath[260];
  uint32_t padding;
};
static_assert(sizeof(HttpTransferInfo) == 288);

// A virtual host (slot hostId of its server; id 0 is the default host).
struct HttpVirtualHost {
  uint32_t flags;  // httpRecordDeleted
  uint32_t hostId;
  uint32_t port;
  uint32_t aliasCount;
  char hostName[256];
  char aliases[32][256];
  char root[260];
};

// A virtual path: a request path prefix mapped to a local file or directory.
struct HttpVirtualPath {
  uint32_t directory;  // 1 directory, 0 file
  uint32_t access;     // httpAccess bits; httpRecordDeleted once deleted
  uint32_t hostId;
  char virtualPath[1024];  // ends with '/' for a directory
  char localPath[260];     // ends with '/' for a directory
  HttpVirtualPath* next;   // in the order added
};
static_assert(sizeof(HttpVirtualPath) == 1304);

struct HttpUser {
  uint32_t flags;  // httpRecordDeleted
  uint32_t access;
  uint32_t hostId;
  char userName[64];
  char password[64];
  char home[260];
};

inline constexpr uint32_t httpRecordDeleted = 0x8000;

// A header table: an entry is in use while its name is not empty; entries with an empty
// value are neither sent nor found.
struct HttpHeaderEntry {
  char name[128];
  char value[1024];
};
struct HttpHeaderTable {
  HttpHeaderEntry entries[64];
};

// HttpReadRequest targets.
inline constexpr uint32_t httpReadBuffer = 1;
inline constexpr uint32_t httpReadText = 2;
inline constexpr uint32_t httpReadMemory = 4;
inline constexpr uint32_t httpReadFile = 8;
inline constexpr uint32_t httpReadHandle = 0x10;
inline constexpr uint32_t httpReadDiscard = 0x100;

// HttpSendResponse options.
inline constexpr uint32_t httpSendBuffer = 1;
inline constexpr uint32_t httpSendText = 2;
inline constexpr uint32_t httpSendMemory = 4;
inline constexpr uint32_t httpSendFile = 8;
inline constexpr uint32_t httpSendUntilClose = 0x100;
inline constexpr uint32_t httpSendNoCache = 0x200;
inline constexpr uint32_t httpSendNoKeepAlive = 0x10000000;
inline constexpr uint32_t httpSendListing = 0x20000000;
inline constexpr uint32_t httpSendCgiOutput = 0x40000000;

// ---- library and servers ----
int32_t HttpServerAttach(const char* reserved, LibVersionInfo* info);
void HttpServerDetach();
uint32_t HttpServerIsInitialized();
uint32_t HttpServerGetLastError(uint64_t server);
void HttpServerSetLastError(uint64_t server, uint32_t code);
uint64_t HttpServerStart(const char* address, uint32_t port, uint32_t options, const HttpServerConfig* config,
                         HttpServerEventCallback callback, uint64_t context, SecCredentials* credentials);
int32_t HttpServerStop(uint64_t server);
uint64_t HttpServerRestart(uint64_t server);
int32_t HttpServerDisconnectAll(uint64_t server);
int32_t HttpServerThrottle(uint64_t server, int32_t maxClients, int32_t maxPerAddress, int32_t acceptDelay);
// The library lock (hosts, paths, users, registrations and the log change under it).
void HttpServerLock(uint64_t server);
void HttpServerUnlock(uint64_t server);
// The client whose event the calling thread handles, 0 on other threads.
uint32_t HttpServerCurrentClientId(uint64_t server);
// Server credentials (protocol TLS) from a certificate store or PEM file and a certificate
// name; 1 or 0.
int32_t HttpServerBuildCredentials(const char* user, const char* password, const char* store, const char* name,
                                   SecCredentials** out);
void HttpServerFreeCredentials(SecCredentials** credentials);
// A download, upload or execute event delivered after the request's result event.
int32_t HttpSessionSetEvent(uint64_t server, uint32_t clientId, uint32_t event, uint32_t error);
// For an owner inside the result event on the client's thread: takes the pending event
// (and its error) off the session, so that the owner handles it together with the result
// and the library does not report it again. 1 when one was pending, else 0.
int32_t HttpSessionTakeEvent(uint64_t server, uint32_t clientId, uint32_t* event, uint32_t* error);
int32_t HttpServerSuspend(uint64_t server);
int32_t HttpServerResume(uint64_t server);
int32_t HttpServerIsListening(uint64_t server);
int32_t HttpServerDisconnectClient(uint64_t server, uint32_t clientId);
int32_t HttpServerGetClientIds(uint64_t server, uint32_t* ids, uint32_t capacity);
int32_t HttpServerGetDirectory(uint64_t server, char* buffer);  // 260
int32_t HttpServerGetIdentity(uint64_t server, char* buffer);   // 128
int32_t HttpServerGetPort(uint64_t server);
int32_t HttpServerGetUuid(uint64_t server, char* buffer);  // 40
int32_t HttpServerGetPriority(uint64_t server);
int32_t HttpServerSetPriority(uint64_t server, uint32_t priority);
uint32_t HttpServerGetThreadId(uint64_t server);
int32_t HttpServerSetStackSize(uint64_t server, uint32_t bytes);
int32_t HttpServerStartTrace(const char* file, int32_t flags);
void HttpServerStopTrace();
// The engine callback every server registers (events of its clients).
void HttpSessionEvent(uint64_t handle, uint32_t event, uint32_t error, uint64_t userData);

// ---- methods ----
int32_t HttpServerGetMethodId(uint64_t server, const char* name, int32_t* id);
int32_t HttpServerDisableMethod(uint64_t server, const char* name);
int32_t HttpServerEnableMethod(uint64_t server, const char* name);
int32_t HttpServerIsMethodEnabled(uint64_t server, const char* name);
void HttpServerCopyMethods(uint64_t server);  // a fresh copy of the built-in method table

// ---- sessions ----
int32_t HttpProcessRequest(uint64_t server, uint32_t clientId, const char* line);
int32_t HttpSessionIsKeepAlive(uint64_t server, uint32_t clientId);
int32_t HttpSessionGetAddress(uint64_t server, uint32_t clientId, char* buffer);  // 64
int32_t HttpSessionGetRequestLine(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t HttpSessionGetMethodId(uint64_t server, uint32_t clientId);
int32_t HttpSessionGetRequestUrl(uint64_t server, uint32_t clientId, char* buffer);  // 1,024
int32_t HttpSessionGetResource(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t HttpSessionGetQuery(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t HttpSessionGetStatus(uint64_t server, uint32_t clientId);
int32_t HttpSessionGetHostName(uint64_t server, uint32_t clientId, char* buffer);  // 256
int64_t HttpSessionSkipContent(uint64_t server, uint32_t clientId, int64_t count);
int32_t HttpSessionGetThreadId(uint64_t server, uint32_t clientId);
int32_t HttpSessionGetPort(uint64_t server, uint32_t clientId, int32_t* out);
int32_t HttpSessionGetIdleTime(uint64_t server, uint32_t clientId, uint64_t* elapsed);
int32_t HttpSessionSetIdleTime(uint64_t server, uint32_t clientId, int32_t seconds);  // the previous value
int32_t HttpSessionGetTransferInfo(uint64_t server, uint32_t clientId, HttpTransferInfo* info);
int32_t HttpSessionGetProgramOutput(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);

// ---- headers, bodies and responses ----
int32_t HttpGetRequestHeader(uint64_t server, uint32_t clientId, const char* name, char* buffer, uint32_t size);
int32_t HttpSetResponseHeader(uint64_t server, uint32_t clientId, const char* name, const char* value);
int32_t HttpSessionClearHeaders(uint64_t server, uint32_t clientId, uint32_t which);
int32_t HttpGetAllRequestHeaders(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t HttpReadRequest(uint64_t server, uint32_t clientId, uint32_t flags, HttpRequestInfo* info, void* target,
                        uint32_t* size);
int32_t HttpSendResponse(uint64_t server, uint32_t clientId, uint32_t options, const HttpResponseInfo* info,
                         const void* data, int64_t length);
int32_t HttpRedirectRequest(uint64_t server, uint32_t clientId, uint32_t kind, const char* location);
int32_t HttpRequireAuthentication(uint64_t server, uint32_t clientId, uint32_t type, const char* realm);
int32_t HttpSendError(uint64_t server, uint32_t clientId, uint32_t status, const char* message);
int32_t HttpHeaderParseLine(uint64_t server, HttpHeaderTable* table, const char* line);
const char* HttpHeaderFind(uint64_t server, const HttpHeaderTable* table, const char* name);  // null: absent
int32_t HttpHeaderSet(uint64_t server, HttpHeaderTable* table, const char* name, const char* value);
const char* HttpStatusText(uint32_t code);  // null when the code is not in the table

// ---- virtual hosts and paths ----
int32_t HttpServerAddHost(uint64_t server, const char* hostName, uint32_t port, const char* directory);
int32_t HttpServerAddHostAlias(uint64_t server, uint32_t hostId, const char* alias);
int32_t HttpServerDeleteHost(uint64_t server, uint32_t hostId);
int32_t HttpServerFindHostId(uint64_t server, const char* hostName, uint32_t port);  // -1
// Records stay valid while the server runs (deleted ones are only marked).
const HttpVirtualHost* HttpServerGetHost(uint64_t server, uint32_t hostId);
const HttpVirtualHost* HttpServerFindHost(uint64_t server, const char* hostName, uint32_t port);
int32_t HttpServerAddPath(uint64_t server, uint32_t hostId, uint32_t access, const char* virtualPath,
                          const char* localPath);
int32_t HttpServerDeletePath(uint64_t server, uint32_t hostId, const char* virtualPath);
// The node that serves a path (localPath: 260), or null.
const HttpVirtualPath* HttpServerResolvePath(uint64_t server, uint32_t hostId, const char* requestPath,
                                             char* localPath);
const HttpVirtualPath* HttpServerLocalToVirtual(uint64_t server, uint32_t hostId, const char* localPath,
                                                char* virtualPath);  // 260
const HttpVirtualPath* HttpServerFindPathByLocal(uint64_t server, uint32_t hostId, const char* localPath);
int32_t HttpServerGetVirtualPath(uint64_t server, uint32_t clientId, const char* localPath, char* buffer);  // 260
int32_t HttpNormalizeVirtualPath(const char* path, char* out);  // 1,024; the length or 0
int32_t HttpSessionGetLocalPath(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t HttpSessionSetLocalPath(uint64_t server, uint32_t clientId, const char* path);
int32_t HttpSessionMapPath(uint64_t server, uint32_t clientId, const char* path, char* buffer);  // 260
int32_t HttpSessionCheckAccess(uint64_t server, uint32_t clientId, uint32_t rights);
int32_t HttpSessionCheckPath(uint64_t server, uint32_t clientId, const char* path, uint32_t rights);

// ---- users ----
int32_t HttpServerAddUser(uint64_t server, uint32_t hostId, uint32_t access, const char* user, const char* password,
                          const char* home);
int32_t HttpServerDeleteUser(uint64_t server, uint32_t hostId, const char* user);
const HttpUser* HttpServerFindUser(uint64_t server, uint32_t hostId, const char* user);
int32_t HttpServerCheckUser(uint64_t server, uint32_t clientId);
int32_t HttpSessionAuthenticate(uint64_t server, uint32_t clientId, uint32_t access);
int32_t HttpSessionIsAuthenticated(uint64_t server, uint32_t clientId);
int32_t HttpSessionGetCredentials(uint64_t server, uint32_t clientId, HttpCredentials* out);
int32_t HttpSessionGetAccess(uint64_t server, uint32_t clientId, int32_t* out);
int32_t HttpSessionSetAccess(uint64_t server, uint32_t clientId, uint32_t access);
int32_t HttpSessionGetUser(uint64_t server, uint32_t clientId, char* buffer);  // 64

// ---- access log ----
int32_t HttpServerWriteLogEntry(uint64_t server, uint32_t clientId);
int32_t HttpServerWriteLog(uint64_t server, const char* format, ...);
int32_t HttpServerGetLogSettings(uint64_t server, int32_t* format, int32_t* level, char* name, uint32_t size);
int32_t HttpServerSetLogSettings(uint64_t server, int32_t format, int32_t level, const char* fileName);

// ---- CGI ----
int32_t HttpServerRegisterProgram(uint64_t server, uint32_t hostId, const char* virtualPath, const char* program,
                                  const char* parameters, const char* directory);
int32_t HttpServerRegisterHandler(uint64_t server, uint32_t hostId, const char* extension, const char* program,
                                  const char* parameters, const char* directory);
// Frees every program and handler registration; for a server without clients (the stop
// calls it once the last client is gone).
void HttpServerFreeRegistrations(uint64_t server);
int32_t HttpSessionFindScript(uint64_t server, uint32_t clientId);
int32_t HttpRunCgi(uint64_t server, uint32_t clientId, const void* body, uint32_t length);
// What the thread that feeds a program's input gets: the pipe's write end (closed when
// done) and the body.
struct HttpCgiWriter {
  int pipe;
  const void* body;
  uint32_t length;
};
uint32_t HttpCgiWriterThread(HttpCgiWriter* writer);
// The output of the last program run into a new movable memory block (freed by the
// caller); 1 when there is output.
int32_t HttpGetCgiOutput(uint64_t server, uint32_t clientId, plat::HGLOBAL* block, uint32_t* length);
int32_t HttpBuildCgiEnvironment(uint64_t server, uint32_t clientId);
// The environment block (name=value entries, each ended by a zero byte; null without a
// session) and its length in bytes.
const char* HttpGetCgiEnvironment(uint64_t server, uint32_t clientId, uint32_t* length);
int32_t HttpGetCgiVariable(uint64_t server, uint32_t clientId, const char* name, char* buffer, uint32_t size);
int32_t HttpSetCgiVariable(uint64_t server, uint32_t clientId, const char* name, const char* value);
// The offset of the variable's entry in the block, its value and length; -1 when absent.
int32_t HttpFindCgiVariable(uint64_t server, uint32_t clientId, const char* name, const char** value,
                            uint32_t* length);
int32_t HttpSessionGetExitCode(uint64_t server, uint32_t clientId, int32_t* code);
// Folders a program's environment names: 1 the program search path, 2 the server's
// temporary directory, 3 the machine's application data, 4 the shared public folder.
// The length written into the buffer (260), 0 when the folder is not known.
int32_t HttpGetSystemFolder(uint64_t server, uint32_t kind, char* buffer);

// ---- helpers ----
int32_t HttpServerValidatePath(uint64_t server, const char* path, uint32_t mode);
int32_t HttpPathCompare(uint64_t server, const char* base, const char* path);
int32_t HttpGetFileInfo(uint64_t server, const char* path, char* lastModified, char* entityTag, uint64_t* size);
int32_t HttpFormatDate(char* buffer);                       // 128
int32_t HttpFormatExpiry(uint32_t seconds, char* buffer);   // 128
int32_t HttpFindDefaultDocument(const char* directory, char* out);  // 260
int32_t HttpCreateDirectoryPath(const char* path);
int HttpCreateTempFile(uint64_t server, char* name);  // 260; an open descriptor, or -1
// base and name joined with one separator and normalised (out: 260); null on failure.
char* HttpJoinPath(uint64_t server, const char* base, const char* name, char* out);
int32_t HttpSendDirectoryIndex(uint64_t server, uint32_t clientId, const char* directory);
struct HttpUrl;
int32_t HttpServerComposeUrl(const HttpUrl* url, char* out);  // 1,024; the length or 0
int32_t HttpDecodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size);
int32_t HttpHasPercentEscapes(const char* text, int32_t length);
