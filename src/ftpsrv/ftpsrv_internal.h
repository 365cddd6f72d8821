#pragma once
// Records of the FTP server library and the helpers its parts share.
#include <ctime>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ftpsrv/command_table.h"
#include "ftpsrv/ftpsrv.h"
#include "ftpsrv/server_skeleton.h"

// FtpSessionState values.
inline constexpr uint32_t kFtpStateIdle = 255;
inline constexpr uint32_t kFtpStateUser = 1;
inline constexpr uint32_t kFtpStatePassword = 2;
inline constexpr uint32_t kFtpStateActive = 3;
inline constexpr uint32_t kFtpStatePassive = 4;
inline constexpr uint32_t kFtpStateListing = 5;
inline constexpr uint32_t kFtpStateReceiving = 6;
inline constexpr uint32_t kFtpStateSending = 7;
inline constexpr uint32_t kFtpStateRename = 8;

// Telnet: the command introducer, and the first of the commands followed by an option byte
// (WILL, WONT, DO, DONT).
inline constexpr unsigned char kTelnetIac = 0xFF;
inline constexpr unsigned char kTelnetWill = 0xFB;

// Protection bits of a session.
inline constexpr uint32_t kFtpProtectControl = 1;
inline constexpr uint32_t kFtpProtectData = 2;

// The rights the access names ftpAccessDefault, ftpAccessRestricted and
// ftpAccessAnonymous stand for at login.
inline constexpr uint32_t kFtpAccessBeforeLogin = ftpAccessRead | ftpAccessWrite | ftpAccessAppend | ftpAccessList |
                                                  ftpAccessModify | ftpAccessRename | ftpAccessDelete | ftpAccessChdir |
                                                  ftpAccessMkdir | ftpAccessRmdir | ftpAccessIdle;
inline constexpr uint32_t kFtpAccessRestrictedSet =
    ftpAccessRestricted | ftpAccessIdle | ftpAccessChdir | ftpAccessList | ftpAccessRead;
inline constexpr uint32_t kFtpAccessAnonymousSet =
    ftpAccessAnonymous | ftpAccessRestricted | ftpAccessChdir | ftpAccessList | ftpAccessRead;
static_assert(kFtpAccessBeforeLogin == 0x7FF && kFtpAccessRestrictedSet == 0x100489 &&
              kFtpAccessAnonymousSet == 0x300089);
// What a read-only server takes from the default rights: every right that changes the
// file system (write, append, modify, rename, delete, mkdir, rmdir).
inline constexpr uint32_t kFtpReadOnlyRemoved = ftpAccessWrite | ftpAccessAppend | ftpAccessModify | ftpAccessRename |
                                                ftpAccessDelete | ftpAccessMkdir | ftpAccessRmdir;

struct FtpUserEntry {
  uint32_t flags = 0;  // kFtpUserDeleted
  uint32_t rights = 0;
  uint32_t reserved = 0;
  char userName[64] = {};
  char password[64] = {};
  char homeDirectory[kFtpPathSize] = {};
};
inline constexpr uint32_t kFtpUserDeleted = 0x8000;

struct FtpProgramEntry {
  uint32_t flags = 0;
  uint32_t timeLimit = 0;  // milliseconds
  char name[32] = {};
  char program[kFtpPathSize] = {};
  char directory[kFtpPathSize] = {};
  char parameters[1024] = {};
};

struct FtpServerRecord {
  std::atomic<uint64_t> serverHandle{uint64_t(INVALID_SOCKET)};
  uint64_t registryKey = 0;
  int logFile = -1;  // library lock
  SockAddress serverAddress{};  // textLock
  uint32_t listenFamily = 2;
  uint32_t port = 0;
  uint8_t uuid[16] = {};
  std::atomic<uint32_t> options{0};
  std::atomic<uint32_t> lastError{0};
  FtpServerEventCallback callback = nullptr;
  uint64_t context = 0;
  SecCredentials* credentials = nullptr;
  std::atomic<uint32_t> useCount{0};
  std::atomic<uint32_t> accepting{0};
  std::atomic<uint32_t> maxClients{100}, maxPerAddress{4}, maxGuests{0};
  uint32_t logFormat = 0, logLevel = 0, logLines = 0;  // library lock
  uint32_t minPassivePort = 32768, maxPassivePort = 65535;
  uint32_t authFail = 3, authTime = 60, idleTime = 900, execTime = 5;
  std::atomic<uint32_t> loggedIn{0}, loggedInGuests{0};
  int32_t timeZoneBias = 0;  // seconds west of UTC
  std::atomic<int64_t> startTime{0};
  std::mutex textLock;  // host name and server address change while clients read them
  char hostName[256] = {};
  char uuidText[40] = {};
  char identity[64] = {};
  char rootDirectory[kFtpPathSize] = {};
  char usersDirectory[kFtpPathSize] = {};
  char publicDirectory[kFtpPathSize] = {};
  char tempDirectory[kFtpPathSize] = {};
  char logFileName[kFtpPathSize] = {};  // library lock
  cvftpsrv::ServerTables tables;
  std::deque<FtpUserEntry> users;  // library lock; entries never removed while running
  std::mutex programLock;
  std::deque<FtpProgramEntry> programs;

  ~FtpServerRecord();
};

struct FtpServerSession {
  uint64_t serverHandle = uint64_t(INVALID_SOCKET);
  SOCKET controlSocket = INVALID_SOCKET;
  std::atomic<SOCKET> dataSocket{INVALID_SOCKET};
  std::mutex dataLock;  // a cancel from another thread never meets a closed handle
  uint32_t clientId = 0;
  uint32_t threadId = 0;
  uint64_t registryKey = 0;
  SockAddress clientAddress{};
  uint32_t clientPort = 0;
  char clientAddressText[64] = {};
  // Text fields that the control reads on its own thread while the client's thread
  // changes them: read and written under textLock.
  mutable std::mutex textLock;
  char hostName[64] = {};
  char clientName[64] = {};
  char userName[64] = {};
  char password[64] = {};
  char homeDirectory[kFtpPathSize] = {};
  char currentDirectory[kFtpPathSize] = {};
  char resolvedPath[kFtpPathSize] = {};
  char renameSource[kFtpPathSize] = {};
  char programName[32] = {};
  std::vector<char> programOutput;
  bool hasProgramOutput = false;
  uint32_t exitCode = 0;
  char commandTokens[1024] = {};
  uint32_t tokenCount = 0;
  uint16_t tokenStart[256] = {};
  // The command line as received (Telnet commands taken out) and where each token ends in
  // it: a path argument is the rest of the line byte for byte, not its tokens rejoined.
  char commandLine[1024] = {};
  uint16_t tokenEnd[256] = {};
  char lastReplyText[2048] = {};

  char dataHost[64] = {};
  uint32_t dataPort = 0;
  std::atomic<uint32_t> state{kFtpStateIdle};
  std::atomic<uint32_t> pendingEvent{0}, pendingError{0};
  std::atomic<uint32_t> loginLimit{60}, idleLimit{900};
  uint32_t failureCount = 0, commandCount = 0;
  uint32_t listStyle = ftpListMsdos;
  uint32_t transferMode = 0, transferType = 3;
  uint32_t language = 1033;
  std::atomic<uint32_t> abortFlag{0};
  // The server is stopping or restarting: a transfer ends with 426, and the connection
  // closes with 421.
  std::atomic<uint32_t> ending{0};
  std::atomic<uint32_t> guest{0}, loggedIn{0};
  uint32_t ipv6Data = 0;
  std::atomic<uint32_t> replySent{0};
  std::atomic<uint32_t> access{kFtpAccessBeforeLogin};
  std::atomic<uint32_t> security{0};
  std::atomic<int64_t> connectTime{0}, lastActivity{0};
  std::atomic<uint32_t> commandDuration{0};
  std::atomic<uint64_t> bytesTransferred{0};
  std::atomic<uint32_t> lastReplyCode{0};
  uint32_t loginFailures = 0;
  uint32_t utf8 = 0;
  uint64_t restartOffset = 0;
  uint32_t lastPassivePort = 0;
  uint32_t direction = 0;
};

// The user entry of a name (null with cvErrorInvalidUserName; null without error when
// the entry is deleted). Valid while the server runs.
const FtpUserEntry* FtpServerFindUser(uint64_t server, const char* user);
int32_t FtpServerFindProgram(uint64_t server, const char* name, FtpProgramEntry* out);

namespace cvftpsrv {

using Library = cvsrv::ServerLibrary<FtpServerRecord, FtpServerSession>;
using RecordPtr = Library::RecordPtr;
using SessionPtr = Library::SessionPtr;

Library& Lib();

// A looked-up pair; false (with the lookup's error) when either is unknown.
struct Client {
  RecordPtr server;
  SessionPtr session;
  explicit operator bool() const { return server && session; }
};
Client FindClient(uint64_t server, uint32_t clientId);

int64_t Now();  // seconds since 1970
void Fail(uint64_t server, uint32_t code);
template <typename T>
T Fail(uint64_t server, uint32_t code, T result) {
  Fail(server, code);
  return result;
}

// Bounded copy that always ends the text; true when it fit.
bool CopyText(char* out, size_t size, const char* text);
bool IEquals(const char* a, const char* b);
std::string Upper(std::string s);

// Session text fields under the session's text lock.
std::string GetText(const FtpServerSession& s, const char* field);
void SetText(FtpServerSession& s, char* field, size_t size, const char* text);
template <size_t N>
void SetText(FtpServerSession& s, char (&field)[N], const char* text) {
  SetText(s, field, N, text);
}

// The current command's tokens (command line parts) on the client's own thread.
inline const char* Token(const FtpServerSession& s, uint32_t i) {
  return i < s.tokenCount ? s.commandTokens + s.tokenStart[i] : "";
}
std::string JoinTokens(const FtpServerSession& s, uint32_t from);
// The rest of the received line after token from-1 and the one byte that separates it,
// byte for byte ("" when nothing follows).
std::string RawArgument(const FtpServerSession& s, uint32_t from);
// Replaces the current command by verb and one argument (STOU names its file itself).
void SetCommand(FtpServerSession& s, const char* verb, const std::string& argument);
std::string CommandLine(const FtpServerSession& s);

// The owner's event; false when the server or session is gone afterwards.
bool Notify(const Client& c, uint32_t event, uint32_t error = 0);

// The virtual root of a client: its home when restricted, else the server root.
std::string VirtualRoot(const FtpServerRecord& r, const FtpServerSession& s);
// The virtual path of a local path under the client's root ("" when outside).
std::string VirtualOf(const FtpServerRecord& r, const FtpServerSession& s, const std::string& local);

// Replies (the reply sender of the client's own thread).
int32_t Reply(const Client& c, uint32_t code, const char* text = nullptr);
int32_t ReplyF(const Client& c, uint32_t code, const char* format, ...) __attribute__((format(printf, 3, 4)));
// A path as a 257 reply quotes it: an embedded double quote is doubled, so the client
// reads the whole name.
std::string QuotedName(const std::string& path);
// Writes a raw line on the control connection and marks the command answered.
void WriteControlLine(const Client& c, const std::string& line);
void MarkAnswered(const Client& c, uint32_t code, const std::string& text);

// Resolves the command's path argument; empty with the error on failure.
std::string ResolveArgument(const Client& c);
// The same with the argument beginning at token `first` (0: where the command's row says);
// none left there counts as no argument.
std::string ResolveArgumentFrom(const Client& c, uint32_t first);

// Logs the user in (FtpSessionAuthenticate on known records).
int32_t Authenticate(const Client& c, uint32_t rights, const char* home);

// Directions of FtpSessionTransferFile.
inline constexpr uint32_t kFtpDirectionSend = 1;
inline constexpr uint32_t kFtpDirectionStore = 2;
inline constexpr uint32_t kFtpDirectionAppend = 3;

// Opens the file a transfer reads or writes (exclusive: it must not exist yet); the
// descriptor, or -1 with the error (cvErrorFileNotFound for a missing folder or file).
int OpenForTransfer(const Client& c, const std::string& file, uint32_t direction, bool exclusive);
// Runs the transfer on an opened file (closed afterwards); 1, or 0 with the error.
int32_t TransferOpened(const Client& c, uint32_t direction, const std::string& file, int fd);

// Data connections.
void CloseData(FtpServerSession& s);
// Wakes a transfer blocked on the data connection (any thread).
void CancelData(FtpServerSession& s);
// Tells every session of the server that it ends (a transfer under way stops at once);
// then closes every client's connection and waits for them (DisconnectAll).
int32_t EndAllClients(uint64_t server);
bool OpenActiveIfNeeded(const Client& c);
// Takes the waiting passive connection and starts TLS when asked; 0 or the error.
uint32_t TakeDataConnection(const Client& c);

// Session fields reset by REIN and set at connect.
void ResetSession(const FtpServerRecord& r, FtpServerSession& s);

void CloseLog(FtpServerRecord& r);
bool ExpandEnvironment(const std::string& in, std::string& out);
std::vector<std::string> BuildArguments(const std::string& program, const std::string& parameters, uint32_t argc,
                                        const char* const* argv);
FtpUserEntry* FindUserLocked(FtpServerRecord& r, const char* name);

// The IDLE reply shared by IDLE and SITE IDLE: without a value the limit, else the new one.
void ReplyIdle(const Client& c, uint32_t tokens, uint32_t valueIndex);
// Whether a listing shows an entry of the directory: no devices, no names with control
// bytes, no links out of the client's root, and hidden ones (names beginning with "." or,
// with hideTilde, "~") only when the server shows them.
bool ListedEntry(const Client& c, const std::string& directory, const FtpFindEntry& e, bool hideTilde);
// The directory a path's entries live in: the path itself when it is a directory.
std::string EntriesDirectory(const std::string& path);
// The entries STAT and MLST show (hidden ones left out unless the server shows them).
bool StatEntries(const Client& c, const std::string& path, std::vector<FtpFindEntry>& out);
const char* DefaultReplyText(uint32_t code);
bool ProtectedDirectory(const Client& c, const std::string& path);
bool SiteNotRegular(const Client& c, const std::string& path);
bool SiteValidTime(const char* text);

// Paths: the normalised combination ("" when nothing is left or it is too long), the
// comparison of FtpServerComparePaths, and the 14-digit time reader.
std::string CombinePath(const char* base, const char* path);
// The same for a client's path argument: its names are taken byte for byte (no blanks
// trimmed, no quotes removed).
std::string CombineExact(const char* base, const char* path);
// FtpServerCreateDirectory on a path already normalised (its names kept as they are).
int32_t CreateDirectoryPath(uint64_t server, const std::string& path);
int32_t ComparePaths(const std::string& a, const std::string& b);
bool ParseFileTime(const char* text, time_t* out);
// The part of path below root, beginning with "/" ("" when path is the root).
std::string Below(const std::string& root, const std::string& path);
void FreePrograms(FtpServerRecord& r);

}  // namespace cvftpsrv
