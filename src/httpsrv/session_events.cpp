// The engine's callback for every HTTP server: admits clients, keeps their sessions,
// reads request lines, watches the idle time and reports each step to the owner.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "httpsrv/httpsrv_internal.h"
#include "httpsrv/request_reader.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"

using namespace cvhttpsrv;

namespace {

void OnConnect(SOCKET client, uint32_t error) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  RecordPtr r = Lib().Peek(server);
  if (!r) return;
  const uint32_t options = r->options.load();
  const uint32_t maxClients = r->maxClients.load(), maxPerAddress = r->maxPerAddress.load();
  if (!r->accepting.load() || (maxClients && uint32_t(ServerGetClientCount(SOCKET(server))) > maxClients)) {
    InetDisconnect(client);
    return;
  }
  // Responses go out whole in as few sends as possible; nothing is gained by holding a
  // last short segment back until the client acknowledges the previous one.
  InetSetOption(client, kInetOptionNoDelay);
  if (options & httpServerSecure) {
    if (SecStartSession(client, kSecRoleServer, r->credentials) != 0) {
      const uint32_t err = InetGetLastError();
      if (r->callback) r->callback(server, 0, httpEventConnect, uint16_t(err & 0xFFFF), r->context);
      InetDisconnect(client);
      return;
    }
  }
  const uint32_t clientId = ServerGetClientId(client);
  if (clientId == 0) return;
  SockAddress peer{};
  uint32_t peerPort = 0;
  InetGetPeerAddress(client, &peer, &peerPort);
  if (error != 0) {
    if (r->callback) r->callback(server, clientId, httpEventConnect, uint16_t(error & 0xFFFF), r->context);
    return;
  }
  if (maxPerAddress && uint32_t(ServerCountClientsFrom(SOCKET(server), &peer)) > maxPerAddress) {
    InetDisconnect(client);
    return;
  }
  auto s = std::make_shared<HttpSession>();
  s->serverHandle = server;
  s->controlSocket = client;
  s->clientId = clientId;
  s->threadId = plat::GetCurrentThreadId();
  s->peer = peer;
  s->peerPort = peerPort;
  InetFormatAddress(&peer, s->peerText);
  s->hostName = r->hostName;
  s->root = r->root;
  s->port = r->port;
  s->idleTime = r->idleTime;
  s->clientAccess = r->clientAccess;
  s->pathAccess = r->pathAccess;
  s->secure = (options & httpServerSecure) != 0;
  s->connectTime = s->lastActivity = Now();
  s->registryKey = Lib().RegisterSession(s);
  ServerSetClientContext(client, s->registryKey);
  Notify({r, s}, httpEventConnect);
}

void OnRead(SOCKET client, uint32_t error) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  Client c{Lib().Peek(server), Lib().SessionOfClient(client)};
  if (!c) return;
  HttpSession& s = *c.session;
  if (error != 0) {
    Notify(c, httpEventCommand, error);
    return;
  }
  const RequestHeadReader judge(s.request);
  std::vector<char> line(judge.RequestLineRoom());
  uint32_t size = uint32_t(line.size());
  // The whole head, request line and header lines, must arrive within the idle time.
  InetSetDeadline(client, s.idleTime.load() * 1000u);
  struct Lift {
    SOCKET h;
    ~Lift() { InetSetDeadline(h, 0); }
  } lift{client};
  if (!InetReadLineExact(client, line.data(), &size)) {
    const uint32_t err = InetGetLastError();
    if (err != cvErrorConnectionClosed) Notify(c, httpEventCommand, err);
    InetDisconnect(client);
    return;
  }
  if (judge.RequestLine(size) != RequestHeadReader::Verdict::More) {
    RefuseRequestLine(c, RequestHeadReader::Status(RequestHeadReader::Verdict::UriTooLong));
    return;
  }
  line[size] = '\0';
  // Blank lines between requests (some clients send one after a body) are skipped.
  if (size == 0) return;
  // A zero byte or a CR would cut the line short, or be dropped, where another peer keeps it.
  if (std::memchr(line.data(), '\0', size) || std::memchr(line.data(), '\r', size)) {
    RefuseRequestLine(c, 400);
    return;
  }
  const uint32_t start = plat::GetTickCount();
  HttpProcessRequest(server, s.clientId, line.data());
  // A body nobody read must not be taken for the next request on this connection.
  if (s.bodyUnread || (!s.bodyRead && s.version != kVersion09 &&
                        (!RequestHeader(s, "Transfer-Encoding").empty() ||
                         std::atoll(RequestHeader(s, "Content-Length").c_str()) > 0)))
    InetDisconnect(client);
  s.milliseconds = plat::GetTickCount() - start;
  HttpServerWriteLogEntry(server, s.clientId);
  if (!s.tokens.empty()) Notify(c, httpEventResult);
  if (const uint32_t pending = s.pendingEvent.exchange(0)) Notify(c, uint16_t(pending), s.pendingError.load());
}

void OnDisconnect(SOCKET client) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  uint64_t key = 0;
  if (ServerGetClientContext(client, &key) != 1 || key == 0) return;
  SessionPtr s = Lib().SessionOfClient(client);
  if (RecordPtr r = Lib().Peek(server); r && s) Notify({r, s}, httpEventDisconnect);
  ServerSetClientContext(client, 0);
  Lib().UnregisterSession(key);
}

void OnIdle(SOCKET client) {
  const uint64_t server = uint64_t(ServerGetClientServer(client));
  Client c{Lib().Peek(server), Lib().SessionOfClient(client)};
  if (!c || c.session->state.load() != SessionState::Idle) return;
  auto idlePast = [&] { return Now() - c.session->lastActivity.load() >= int64_t(c.session->idleTime.load()); };
  if (!idlePast()) return;
  Notify(c, httpEventTimeout);
  if (idlePast()) InetDisconnect(client);
}

thread_local const HttpServerRecord* tEventOf = nullptr;

// Counts the event as active on its server while it is handled.
struct ActiveEvent {
  RecordPtr record;
  const HttpServerRecord* outer;
  explicit ActiveEvent(RecordPtr r) : record(std::move(r)), outer(tEventOf) {
    if (!record) return;
    {
      std::lock_guard lk(record->eventThreadsLock);
      record->eventThreads.push_back(plat::GetCurrentThreadId());
    }
    record->activeEvents.fetch_add(1);
    tEventOf = record.get();
  }
  ~ActiveEvent() {
    if (record) {
      record->activeEvents.fetch_sub(1);
      std::lock_guard lk(record->eventThreadsLock);
      auto& t = record->eventThreads;
      if (auto it = std::find(t.begin(), t.end(), plat::GetCurrentThreadId()); it != t.end()) t.erase(it);
    }
    tEventOf = outer;
  }
};

}  // namespace

bool cvhttpsrv::InsideEventOf(const HttpServerRecord& r) { return tEventOf == &r; }

void HttpSessionEvent(uint64_t handle, uint32_t event, uint32_t error, uint64_t) {
  const SOCKET client = SOCKET(handle);
  const ActiveEvent active(Lib().Peek(uint64_t(ServerGetClientServer(client))));
  switch (event) {
    case kServerEventConnect: OnConnect(client, error); break;
    case kServerEventRead: OnRead(client, error); break;
    case kServerEventDisconnect: OnDisconnect(client); break;
    case kServerEventTimeout: OnIdle(client); break;
    default: break;
  }
}
