#pragma once
// The server engine: up to 1,024 TCP servers per library, one listener thread per server
// that accepts within limits and at a paced rate, and one thread per accepted client that
// watches its connection and reports events to the server's ServerEventCallback. The
// callback runs on the listener thread (accept) or the client's thread (the others) and
// reads and writes through inet.h; the engine never touches client data itself.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/base/sync.h"
#include "platform/base/thread.h"
#include "sockets/inet.h"

// ServerEvent codes.
inline constexpr uint32_t kServerEventAccept = 1;
inline constexpr uint32_t kServerEventConnect = 2;
inline constexpr uint32_t kServerEventDisconnect = 4;
inline constexpr uint32_t kServerEventRead = 8;
inline constexpr uint32_t kServerEventWrite = 16;
inline constexpr uint32_t kServerEventTimeout = 32;

// Server status (a control without a server reports twServerInactive).
inline constexpr uint32_t twServerInactive = 0;
inline constexpr uint32_t twServerStarted = 1;
inline constexpr uint32_t twServerListening = 2;
inline constexpr uint32_t twServerSuspended = 3;
inline constexpr uint32_t twServerShutdown = 4;

// Priorities.
inline constexpr uint32_t twPriorityBackground = 0;
inline constexpr uint32_t twPriorityLow = 1;
inline constexpr uint32_t twPriorityNormal = 2;
inline constexpr uint32_t twPriorityHigh = 3;
inline constexpr uint32_t twPriorityCritical = 4;

// Listener control codes.
inline constexpr uint32_t kServerCodeSuspend = 1;
inline constexpr uint32_t kServerCodeResume = 2;
inline constexpr uint32_t kServerCodeRestart = 3;
inline constexpr uint32_t kServerCodePriority = 4;
inline constexpr uint32_t kServerCodeLimits = 5;
inline constexpr uint32_t kServerCodeStop = 255;
// Client control codes.
inline constexpr uint32_t kClientCodePriority = 1;
inline constexpr uint32_t kClientCodeAbort = 254;
inline constexpr uint32_t kClientCodeEnd = 255;

// Server flags.
inline constexpr uint32_t kServerFlagNotifying = 1;
inline constexpr uint32_t kServerFlagRejectSuspended = 4;
// Client flags.
inline constexpr uint32_t kClientFlagNotifying = 1;
inline constexpr uint32_t kClientFlagAbort = 2;
inline constexpr uint32_t kClientFlagDisconnect = 4;
inline constexpr uint32_t kClientFlagFinished = 8;

// Listening backlog of the FTP and HTTP servers: 0 asks for the system's maximum, so a
// burst of connections waits in the kernel's queue instead of being dropped.
inline constexpr uint32_t kServerBacklogSystemMax = 0;

inline constexpr uint32_t kServerMaxServers = 1024;
inline constexpr uint32_t kServerDefaultStack = 0x80000;
inline constexpr uint32_t kServerClientOptions = 0x48;

using ServerEventCallback = void (*)(uint64_t handle, uint32_t event, uint32_t error, uint64_t userData);

// What the engine hands to the callback window (lParam of message 7937).
struct ServerNotification {
  uint64_t handle;
  uint32_t event;
  uint32_t error;
  ServerEventCallback callback;
  uint64_t userData;
};

struct ServerClientRecord;

struct ServerRecord {
  std::atomic<uint64_t> serverHandle{uint64_t(INVALID_SOCKET)};
  std::atomic<bool> listed{false};  // in the server table (library lock)
  std::atomic<uint64_t> acceptingHandle{uint64_t(INVALID_SOCKET)};
  std::shared_ptr<plat::Thread> listenerThread;
  plat::HeapHandle queueHeap = nullptr;
  uint32_t serverId = 0;
  std::atomic<uint32_t> listenerThreadId{0};
  plat::Event controlEvent{plat::Event::Reset::Manual};
  plat::Event acknowledgeEvent{plat::Event::Reset::Manual};
  std::atomic<uint32_t> controlCode{0};
  std::mutex controlLock;  // one control code at a time
  SockAddress address{};
  char addressText[64] = {};
  uint32_t port = 0;
  uint32_t backlog = 5;
  std::atomic<uint32_t> clientCount{0};
  std::atomic<uint32_t> clientsWithHandle{0};  // of those, the ones given their handle
  std::atomic<uint32_t> maxClients{0};
  std::atomic<uint32_t> maxClientsPerAddress{0};
  std::atomic<uint32_t> lastClientId{0};
  uint32_t queueCount = 0;
  std::atomic<uint32_t> priority{twPriorityNormal};
  std::atomic<uint32_t> clientTimeout{20};
  std::atomic<uint32_t> status{twServerStarted};
  std::atomic<bool> stopRequested{false};  // ServerStop was called: no new accept events
  std::atomic<uint32_t> clientOptions{kServerClientOptions};
  std::atomic<uint32_t> lastError{0};
  std::atomic<uint32_t> flags{0};
  std::atomic<uint32_t> acceptDelay{0};
  std::atomic<uint32_t> clientStackSize{kServerDefaultStack};
  uint32_t lastAcceptTick = 0;
  uint32_t listeningStartTick = 0;
  uint32_t startTick = 0;
  uint32_t stopTick = 0;
  std::atomic<uint32_t> lastNotificationTick{0};
  std::atomic<uint64_t> ownerContext{0};
  std::atomic<HWND> callbackWindow{nullptr};
  ServerEventCallback callback = nullptr;
  uint64_t userData = 0;
  SecCredentials* credentials = nullptr;  // copy owned by the record; changed under the library lock
  // Clients in accept order (library lock).
  std::shared_ptr<ServerClientRecord> firstClient, lastClient;
  // The same clients by id (library lock): owners name a client by its id in every call.
  std::unordered_map<uint32_t, ServerClientRecord*> clientsById;
};

struct ServerClientRecord {
  uint64_t serverHandle = uint64_t(INVALID_SOCKET);
  std::atomic<uint64_t> clientHandle{uint64_t(INVALID_SOCKET)};
  std::atomic<bool> listed{false};  // found by its handle (library lock)
  // The thread serving the client (0 until it has one) and the sign that it is done with
  // the client: threads are reused for later clients, so their end is not the client's.
  std::atomic<uint32_t> clientThreadId{0};
  plat::Event ended{plat::Event::Reset::Manual};
  SockAddress peerAddress{};
  plat::Event controlEvent{plat::Event::Reset::Manual};
  plat::Event acknowledgeEvent{plat::Event::Reset::Manual};
  std::atomic<uint32_t> controlCode{0};
  std::mutex controlLock;
  uint32_t clientId = 0;
  std::atomic<uint32_t> priority{twPriorityNormal};
  std::atomic<uint32_t> timeout{20};
  uint32_t options = 0;
  std::atomic<uint32_t> lastError{0};
  std::atomic<uint32_t> flags{0};
  uint32_t stackSize = kServerDefaultStack;
  uint32_t startTick = 0;
  std::atomic<uint32_t> lastNotificationTick{0};
  std::atomic<uint64_t> ownerContext{0};
  // The owner heard of this client's connect, so it hears of its disconnect too.
  std::atomic<bool> connectNotified{false};
  // Events the owner queued instead of handling (ServerDeferCurrentEvent) and has not
  // taken yet (ServerEventTaken); below zero for a moment when the owner took one before
  // it was counted. While any is queued, no new read event goes out and the client keeps
  // its connection: its handle names no other client while the owner holds an event for it.
  std::atomic<int32_t> queuedEvents{0};
  // Wakes the client's thread from its wait: a queued event was taken, or it should end.
  plat::Event wake{plat::Event::Reset::Manual};
  char name[128] = {};
  std::weak_ptr<ServerRecord> server;
  std::shared_ptr<ServerClientRecord> next;  // list links (library lock)
  std::weak_ptr<ServerClientRecord> previous;
};

// ---- operations ----
// A server on the address text (empty: every address) and port whose events go to
// callback; clientTimeout is the idle time in seconds of each client (20 for the FTP
// server, 10 for the HTTP server). The server handle, or -1.
SOCKET ServerCreate(const char* address, uint32_t port, ServerEventCallback callback, uint32_t clientTimeout);
SOCKET ServerRestart(SOCKET server);
int32_t ServerThrottle(SOCKET server, uint32_t acceptDelay);
int32_t ServerStop(SOCKET server);
int32_t ServerGetStatus(SOCKET server);
int32_t ServerGetContext(SOCKET server, uint64_t* context);
int32_t ServerSetContext(SOCKET server, uint64_t context);
int32_t ServerGetClientContext(SOCKET client, uint64_t* context);
int32_t ServerSetClientContext(SOCKET client, uint64_t context);
int32_t ServerGetClientCount(SOCKET server);
int32_t ServerListClients(SOCKET server, uint64_t* handles, uint32_t capacity);
int32_t ServerCountClientsFrom(SOCKET server, const SockAddress* address);
uint32_t ServerGetThreadId(SOCKET server);
uint32_t ServerGetClientId(SOCKET client);
SOCKET ServerFindClientById(SOCKET server, uint32_t clientId);
ServerClientRecord* ServerFindClient(SOCKET client);
SOCKET ServerFindById(uint32_t serverId);
SOCKET ServerGetCurrentClient();
SOCKET ServerGetClientServer(SOCKET client);
int32_t ServerGetPriority(SOCKET server);
int32_t ServerSetPriority(SOCKET server, uint32_t priority);
int32_t ServerSetStackSize(SOCKET server, uint32_t bytes);
int32_t ServerSendControl(ServerRecord* server, uint32_t code);
int32_t ServerSendClientControl(ServerClientRecord* client, uint32_t code);

// Asks the clients to end all at once (as InetDisconnect would, without waiting for each)
// and waits up to waitMs for their threads, serving messages sent to the caller meanwhile;
// a client whose event the caller is handling ends after the caller returns. The number
// of clients asked.
int32_t ServerEndClients(const SOCKET* clients, uint32_t count, uint32_t waitMs);

// For a callback running on a client's thread: the event it runs for was queued by the
// owner, not handled. A queued read is not reported again until the owner calls
// ServerEventTaken for the client, so a busy owner is not flooded with the same event.
void ServerDeferCurrentEvent();
// The owner took a queued event of the client (from any thread).
void ServerEventTaken(SOCKET client);

// Record handling.
ServerRecord* ServerFindByHandle(SOCKET server);
std::shared_ptr<ServerRecord> ServerCreateRecord();
void ServerFreeRecord(ServerRecord* server);
std::shared_ptr<ServerClientRecord> ServerCreateClient(ServerRecord* server);
void ServerFreeClient(ServerClientRecord* client);
void ServerFlagClientsClose(ServerRecord* server);
// Handles of every server; the number found.
uint32_t ServerListServers(SOCKET* handles, uint32_t capacity);
