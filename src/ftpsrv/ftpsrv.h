#pragma once
// The FTP server library: FTP and FTPS servers inside the host process on top of the
// server engine (sockets/server/server.h). One engine server per started server, one engine
// thread per client; every command, transfer, listing and program of a client runs on
// that client's thread. The owner (the control) hears of every client action through the
// event callback given to FtpServerStart.
//
// Every function leaves its error in the socket library's per-thread last error
// (InetGetLastError) and, for a known server, in the server's last error. Texts are UTF-8.
#include <cstdarg>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"

// ---- server options (the control's Options property) ----
inline constexpr uint32_t ftpServerDefault = 0;
inline constexpr uint32_t ftpServerMultiUser = 1;
inline constexpr uint32_t ftpServerRestricted = 2;
inline constexpr uint32_t ftpServerLocalUser = 4;
inline constexpr uint32_t ftpServerAnonymous = 8;
inline constexpr uint32_t ftpServerReadOnly = 16;
inline constexpr uint32_t ftpServerLocalTime = 32;
inline constexpr uint32_t ftpServerLockFiles = 64;
inline constexpr uint32_t ftpServerHiddenFiles = 128;
inline constexpr uint32_t ftpServerUnixMode = 256;
inline constexpr uint32_t ftpServerExternal = 512;
inline constexpr uint32_t ftpServerSecure = 4096;
inline constexpr uint32_t ftpServerExplicitSSL = 8192;
inline constexpr uint32_t ftpServerImplicitSSL = 16384;

// ---- access rights of a client ----
inline constexpr uint32_t ftpAccessNone = 0;
inline constexpr uint32_t ftpAccessRead = 0x000001;
inline constexpr uint32_t ftpAccessWrite = 0x000002;
inline constexpr uint32_t ftpAccessAppend = 0x000004;
inline constexpr uint32_t ftpAccessList = 0x000008;
inline constexpr uint32_t ftpAccessModify = 0x000010;
inline constexpr uint32_t ftpAccessRename = 0x000020;
inline constexpr uint32_t ftpAccessDelete = 0x000040;
inline constexpr uint32_t ftpAccessChdir = 0x000080;
inline constexpr uint32_t ftpAccessMkdir = 0x000100;
inline constexpr uint32_t ftpAccessRmdir = 0x000200;
inline constexpr uint32_t ftpAccessIdle = 0x000400;
inline constexpr uint32_t ftpAccessExecute = 0x000800;
inline constexpr uint32_t ftpAccessAll = 65535;
inline constexpr uint32_t ftpAccessRestricted = 0x100000;
inline constexpr uint32_t ftpAccessAnonymous = 0x200000;
inline constexpr uint32_t ftpAccessDefault = 0x800000;

// ---- log formats ----
inline constexpr uint32_t ftpLogNone = 0;
inline constexpr uint32_t ftpLogCommon = 1;
inline constexpr uint32_t ftpLogExtended = 2;
inline constexpr uint32_t ftpLogDelete = 0x10000000;

// ---- FtpServerEventCode ----
inline constexpr uint32_t ftpEventConnect = 1;
inline constexpr uint32_t ftpEventDisconnect = 2;
inline constexpr uint32_t ftpEventTimeout = 3;
inline constexpr uint32_t ftpEventCommand = 4;
inline constexpr uint32_t ftpEventResult = 5;
inline constexpr uint32_t ftpEventAuthenticate = 6;
inline constexpr uint32_t ftpEventLogin = 7;
inline constexpr uint32_t ftpEventLogout = 8;
inline constexpr uint32_t ftpEventDownload = 9;
inline constexpr uint32_t ftpEventUpload = 10;
inline constexpr uint32_t ftpEventExecute = 11;

// ---- FtpListStyle ----
inline constexpr uint32_t ftpListNames = 0;
inline constexpr uint32_t ftpListMsdos = 1;
inline constexpr uint32_t ftpListUnix = 2;
inline constexpr uint32_t ftpListFacts = 4;

// ---- file attributes of a directory entry ----
inline constexpr uint32_t ftpAttributeReadOnly = 0x01;
inline constexpr uint32_t ftpAttributeHidden = 0x02;
inline constexpr uint32_t ftpAttributeSystem = 0x04;
inline constexpr uint32_t ftpAttributeDirectory = 0x10;
inline constexpr uint32_t ftpAttributeArchive = 0x20;
inline constexpr uint32_t ftpAttributeDevice = 0x40;
inline constexpr uint32_t ftpAttributeNormal = 0x80;

inline constexpr uint32_t kFtpPathSize = 260;
inline constexpr uint32_t kFtpNoChange = 0xFFFFFFFFu;

// The owner's event callback (the control's LibraryEventCallback): runs on the client's
// thread and blocks it until it returns.
using FtpServerEventCallback = int32_t (*)(uint64_t server, uint32_t clientId, uint16_t event, uint16_t error,
                                           uint64_t context);

// What a caller hands to FtpServerStart; null or empty texts take their defaults.
struct FtpServerConfig {
  uint32_t size;  // 96
  uint32_t maxClients;
  uint32_t maxClientsPerAddress;
  uint32_t maxGuests;
  uint32_t logFormat;  // low 16 bits the format, ftpLogDelete
  uint32_t logLevel;
  uint32_t minPassivePort;
  uint32_t maxPassivePort;
  uint32_t authFail;
  uint32_t authTime;
  uint32_t idleTime;
  uint32_t execTime;
  const char* identity;
  const char* serverUuid;
  const char* hostName;
  const char* rootDirectory;
  const char* tempDirectory;
  const char* logFile;
};
static_assert(sizeof(FtpServerConfig) == 96);

struct FtpAuthenticateInfo {
  uint32_t size;  // 200
  uint32_t reserved;
  char hostName[64];
  char userName[64];
  char password[64];
};
static_assert(sizeof(FtpAuthenticateInfo) == 200);

struct FtpTransferInfo {
  uint32_t size;  // 288
  uint32_t reserved;
  uint32_t direction;  // 0 sent to the client, 1 received, 2 appended
  uint32_t elapsed;    // milliseconds of the command
  uint64_t bytes;
  char localPath[kFtpPathSize];
  uint32_t padding;
};
static_assert(sizeof(FtpTransferInfo) == 288);

// One directory entry as listings format it.
struct FtpFindEntry {
  uint32_t attributes;
  int64_t lastWrite;  // seconds since 1970, UTC
  uint64_t size;
  char name[kFtpPathSize];
};

// ---- library frame and server start (server-level operations) ----
int32_t FtpServerAttach(const char* reserved, LibVersionInfo* info);
void FtpServerDetach();
uint32_t FtpServerIsInitialized();
// The server handle, or -1. The callback may be null (no owner events).
uint64_t FtpServerStart(const char* address, uint32_t port, uint32_t options, const FtpServerConfig* config,
                        FtpServerEventCallback callback, uint64_t context, SecCredentials* credentials);
int32_t FtpServerStop(uint64_t server);
uint64_t FtpServerRestart(uint64_t server);
int32_t FtpServerSuspend(uint64_t server);
int32_t FtpServerResume(uint64_t server);
int32_t FtpServerThrottle(uint64_t server, uint32_t maxClients, uint32_t maxPerAddress, uint32_t maxGuests,
                          uint32_t acceptDelay);
int32_t FtpServerIsListening(uint64_t server);
int32_t FtpServerDisconnectAll(uint64_t server);
int32_t FtpServerBuildCredentials(const char* user, const char* password, const char* store, const char* name,
                                  SecCredentials** out);
void FtpServerFreeCredentials(SecCredentials** credentials);
int32_t FtpServerStartTrace(const char* file, int32_t flags);
int32_t FtpServerStopTrace();

// ---- sessions, lock, errors and accessors ----
void FtpSessionEvent(uint64_t clientSocket, uint32_t event, uint32_t error, uint64_t userData);
void FtpServerLock(uint64_t server);
void FtpServerUnlock(uint64_t server);
void FtpServerSetLastError(uint64_t server, uint32_t code);
uint32_t FtpServerGetLastError(uint64_t server);
uint32_t FtpServerCurrentClientId(uint64_t server);
int32_t FtpSessionSetEvent(uint64_t server, uint32_t clientId, uint32_t event);
int32_t FtpServerDisconnectClient(uint64_t server, uint32_t clientId);
uint32_t FtpSessionGetThreadId(uint64_t server, uint32_t clientId);
int32_t FtpSessionGetAddress(uint64_t server, uint32_t clientId, char* buffer);
int32_t FtpSessionGetPort(uint64_t server, uint32_t clientId, uint32_t* port);
int32_t FtpSessionGetCommandLine(uint64_t server, uint32_t clientId, char* buffer, int32_t size);
int32_t FtpSessionGetCommand(uint64_t server, uint32_t clientId, char* buffer);
uint32_t FtpServerGetThreadId(uint64_t server);
int32_t FtpServerGetAddress(uint64_t server, uint32_t clientId, char* buffer);
int32_t FtpServerSetExternalAddress(uint64_t server, const char* address);
int32_t FtpServerGetHostName(uint64_t server, uint32_t clientId, char* buffer);
int32_t FtpServerSetHostName(uint64_t server, uint32_t clientId, const char* name);
int32_t FtpServerGetDirectory(uint64_t server, char* buffer);
int32_t FtpServerGetUuid(uint64_t server, char* buffer);
int32_t FtpServerGetOptions(uint64_t server, uint32_t* options);
int32_t FtpServerGetPriority(uint64_t server);
int32_t FtpServerSetPriority(uint64_t server, uint32_t priority);
int32_t FtpServerListClientIds(uint64_t server, uint32_t* ids, uint32_t capacity);

// ---- virtual file system ----
int32_t FtpSessionAuthenticate(uint64_t server, uint32_t clientId, uint32_t rights, const char* home);
int32_t FtpSessionResolvePath(uint64_t server, uint32_t clientId, char* out);
int32_t FtpSessionSetLocalPath(uint64_t server, uint32_t clientId, const char* path);
int32_t FtpSessionLocalToVirtual(uint64_t server, uint32_t clientId, const char* local, char* out);
int32_t FtpSessionVirtualToLocal(uint64_t server, uint32_t clientId, const char* path, char* out);
int32_t FtpSessionIsAuthenticated(uint64_t server, uint32_t clientId);
int32_t FtpSessionIsAnonymous(uint64_t server, uint32_t clientId);
int32_t FtpSessionGetAccess(uint64_t server, uint32_t clientId, uint32_t* rights);
int32_t FtpSessionSetAccess(uint64_t server, uint32_t clientId, uint32_t rights);
int32_t FtpSessionGetUserName(uint64_t server, uint32_t clientId, char* buffer);
int32_t FtpSessionGetHomeDirectory(uint64_t server, uint32_t clientId, char* buffer);
int32_t FtpSessionGetCurrentDirectory(uint64_t server, uint32_t clientId, char* buffer);
uint32_t FtpSessionGetResultCode(uint64_t server, uint32_t clientId);
uint32_t FtpSessionGetIdleTime(uint64_t server, uint32_t clientId, uint32_t* idle);
uint32_t FtpSessionSetIdleTimeout(uint64_t server, uint32_t clientId, uint32_t seconds);
int32_t FtpServerSetStackSize(uint64_t server, uint32_t bytes);

// ---- programs ----
int32_t FtpServerRegisterProgram(uint64_t server, const char* name, const char* program, const char* parameters,
                                 const char* directory);
int32_t FtpServerFreePrograms(uint64_t server);
int32_t FtpSessionExecuteProgram(uint64_t server, uint32_t clientId, const char* name, uint32_t argc,
                                 const char* const* argv);
int32_t FtpSessionGetProgramName(uint64_t server, uint32_t clientId, char* buffer);
uint32_t FtpSessionGetProgramData(uint64_t server, uint32_t clientId, void* buffer, uint32_t size);
int32_t FtpSessionGetProgramOutput(uint64_t server, uint32_t clientId, char* buffer, uint32_t size);
int32_t FtpSessionGetExitCode(uint64_t server, uint32_t clientId, uint32_t* exitCode);

// ---- log ----
int32_t FtpSessionLogCommand(uint64_t server, uint32_t clientId);
int32_t FtpServerWriteLog(uint64_t server, const char* format, ...) __attribute__((format(printf, 2, 3)));
int32_t FtpServerGetLogSettings(uint64_t server, uint32_t* format, uint32_t* level, char* file, uint32_t size);
int32_t FtpServerSetLogSettings(uint64_t server, uint32_t format, uint32_t level, const char* file);

// ---- replies, data connections and transfers ----
int32_t FtpSessionSendReply(uint64_t server, uint32_t clientId, uint32_t code, const char* text);
int32_t FtpSessionSendReplyFormat(uint64_t server, uint32_t clientId, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int32_t FtpSessionOpenDataConnection(uint64_t server, uint32_t clientId, SockAddress* address, uint32_t* port);
int32_t FtpSessionCloseDataConnection(uint64_t server, uint32_t clientId);
int32_t FtpSessionTransferFile(uint64_t server, uint32_t clientId, uint32_t direction, const char* file);
int32_t FtpSessionGetTransferInfo(uint64_t server, uint32_t clientId, FtpTransferInfo* info);

// ---- users ----
int32_t FtpServerAddUser(uint64_t server, uint32_t rights, const char* user, const char* password, const char* home);
int32_t FtpServerDeleteUser(uint64_t server, const char* user);
int32_t FtpServerFreeUsers(uint64_t server);
int32_t FtpSessionLogonUser(uint64_t server, uint32_t clientId);
int32_t FtpSessionGetAuthenticateInfo(uint64_t server, uint32_t clientId, FtpAuthenticateInfo* info);

// ---- command tables and interpreter ----
int32_t FtpExecuteCommand(uint64_t server, uint32_t clientId, const char* line);
int32_t FtpServerLoadTables(uint64_t server);
int32_t FtpServerGetCommandInfo(uint64_t server, const char* name, uint32_t* parameters, uint32_t* logLevel,
                                uint32_t* flags);
int32_t FtpServerGetSiteParameterCount(uint64_t server, const char* name, uint32_t* count);
int32_t FtpServerGetFeatureFlags(uint64_t server, const char* name, uint32_t* flags);

// ---- paths, listings and file times ----
char* FtpServerCombinePath(uint64_t server, const char* base, const char* path, char* out);
int32_t FtpServerComparePaths(uint64_t server, const char* a, const char* b);
int32_t FtpServerCreateDirectory(uint64_t server, const char* path);
int32_t FtpServerMakeUniqueName(uint64_t server, const char* directory, char* out);
int32_t FtpServerGetFileTime(uint64_t server, const char* file, char* out);
int32_t FtpServerSetFileTime(uint64_t server, const char* file, const char* time);
int32_t FtpServerHashFile(uint64_t server, const char* file, uint32_t method, char* out);
int32_t FtpIsExecutableName(const char* name);
int32_t FtpFormatListEntry(const FtpFindEntry* entry, uint32_t style, int32_t localTime, char* out);
int32_t FtpSessionSendListing(uint64_t server, uint32_t clientId, uint32_t style, const char* path);
