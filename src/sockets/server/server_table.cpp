// The server table (1,024 slots), the client lists and the accessors of both. Everything
// here runs under the library lock; records are shared so that a thread still holding
// one after it left the table never touches freed memory.
#include <algorithm>
#include <array>
#include <atomic>
#include <span>
#include <unordered_map>

#include "platform/base/tick.h"
#include "sockets/server/server_internal.h"

namespace cvsock {

namespace {

std::array<ServerPtr, kServerMaxServers>& Table() {
  static std::array<ServerPtr, kServerMaxServers> table;
  return table;
}

// Slots are taken from the front, so the look-ups, which every client event makes several
// times under the library lock, scan only up to the highest slot ever taken.
size_t gSlotsUsed = 0;

std::span<ServerPtr> UsedSlots() { return {Table().data(), gSlotsUsed}; }

std::atomic<uint32_t> gServerIds{0};
std::atomic<uint32_t> gClientIds{0};

// Every client with a handle, by its handle, while it is in the list of a server in the
// table: the owners name clients by handle in every call, and a walk of all the lists
// under the library lock made the client threads queue for it.
std::unordered_map<SOCKET, ClientPtr>& ClientsByHandle() {
  static std::unordered_map<SOCKET, ClientPtr> clients;
  return clients;
}

}  // namespace

ServerPtr FindServer(SOCKET handle) noexcept {
  if (handle == INVALID_SOCKET) return nullptr;
  // A restart gives a listed server another handle.
  thread_local LastFound<ServerRecord> last;
  if (ServerPtr s = last.Get(handle); s && s->serverHandle.load() == handle) return s;
  std::lock_guard lk(Library().lock());
  for (const ServerPtr& s : UsedSlots()) {
    if (s && s->serverHandle.load() == handle) {
      last.Keep(handle, s);
      return s;
    }
  }
  return nullptr;
}

ServerPtr FindServerById(uint32_t id) noexcept {
  std::lock_guard lk(Library().lock());
  for (const ServerPtr& s : UsedSlots())
    if (s && s->serverId == id) return s;
  return nullptr;
}

ClientPtr FindClient(SOCKET client, ServerPtr* server) noexcept {
  if (client == INVALID_SOCKET) return nullptr;
  thread_local LastFound<ServerClientRecord> last;
  ClientPtr c = last.Get(client);
  if (!c) {
    std::lock_guard lk(Library().lock());
    auto it = ClientsByHandle().find(client);
    if (it == ClientsByHandle().end()) return nullptr;
    c = it->second;
    last.Keep(client, c);
  }
  if (server) *server = c->server.lock();
  return c;
}

bool SetClientHandle(const ClientPtr& c, SOCKET handle) noexcept {
  std::lock_guard lk(Library().lock());
  try {
    ClientPtr& indexed = ClientsByHandle()[handle];
    if (indexed) indexed->listed.store(false, std::memory_order_release);
    indexed = c;
  } catch (...) {
    return false;
  }
  c->clientHandle.store(handle);
  c->listed.store(true, std::memory_order_release);
  if (ServerPtr s = c->server.lock(); s && s->clientsById.count(c->clientId)) s->clientsWithHandle.fetch_add(1);
  return true;
}

std::vector<ClientPtr> ClientsOf(const ServerRecord& s) {
  std::lock_guard lk(Library().lock());
  std::vector<ClientPtr> out;
  for (ClientPtr c = s.firstClient; c; c = c->next) out.push_back(c);
  return out;
}

namespace {

// Calls f for each client of the server under the library lock, without copying the list:
// for counting and finding, never for anything that calls out.
template <typename F>
void ForEachClient(const ServerRecord& s, F f) {
  std::lock_guard lk(Library().lock());
  for (const ServerClientRecord* c = s.firstClient.get(); c; c = c->next.get()) f(*c);
}

// Takes the client out of the index by handle (library lock held).
void Unindex(const ServerClientRecord& c) {
  auto it = ClientsByHandle().find(SOCKET(c.clientHandle.load()));
  if (it != ClientsByHandle().end() && it->second.get() == &c) {
    it->second->listed.store(false, std::memory_order_release);
    ClientsByHandle().erase(it);
  }
}

bool Live(const ServerClientRecord& c) {
  return c.clientHandle.load() != uint64_t(INVALID_SOCKET) && !(c.flags.load() & kClientFlagFinished);
}

}  // namespace

}  // namespace cvsock

using namespace cvsock;

ServerRecord* ServerFindByHandle(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail<ServerRecord*>(cvErrorInvalidHandle, nullptr);
  return s.get();
}

std::shared_ptr<ServerRecord> ServerCreateRecord() {
  std::lock_guard lk(Library().lock());
  for (ServerPtr& slot : Table()) {
    if (slot) continue;
    try {
      slot = std::make_shared<ServerRecord>();
    } catch (...) {
      return Fail<ServerPtr>(cvErrorOutOfMemory, nullptr);
    }
    gSlotsUsed = std::max(gSlotsUsed, size_t(&slot - Table().data()) + 1);
    slot->listed.store(true, std::memory_order_release);
    slot->serverId = gServerIds.fetch_add(1) + 1;
    slot->startTick = plat::GetTickCount();
    return slot;
  }
  return Fail<ServerPtr>(cvErrorNoHandles, nullptr);
}

void ServerFreeRecord(ServerRecord* server) {
  if (!server) return;
  const uint32_t saved = InetGetLastError();
  ServerPtr keep;
  {
    std::lock_guard lk(Library().lock());
    for (ServerPtr& slot : UsedSlots()) {
      if (slot.get() == server) {
        keep = slot;
        slot->listed.store(false, std::memory_order_release);
        slot.reset();
      }
    }
    for (ServerClientRecord* c = server->firstClient.get(); c; c = c->next.get()) Unindex(*c);
  }
  const SOCKET h = server->serverHandle.exchange(uint64_t(INVALID_SOCKET));
  if (RecordPtr r = FindRecord(h)) r->serverOwned.store(0);
  InetReleaseHandle(h);
  if (server->queueHeap) {
    plat::HeapDestroy(server->queueHeap);
    server->queueHeap = nullptr;
  }
  SecFreeCredentials(&server->credentials);
  InetSetLastError(saved);
}

std::shared_ptr<ServerClientRecord> ServerCreateClient(ServerRecord* server) {
  if (!server) return Fail<ClientPtr>(cvErrorInvalidParameter, nullptr);
  ClientPtr c;
  try {
    c = std::make_shared<ServerClientRecord>();
  } catch (...) {
    return Fail<ClientPtr>(cvErrorOutOfMemory, nullptr);
  }
  uint32_t id;
  do id = gClientIds.fetch_add(1) + 1;
  while (id == 0);
  c->clientId = id;
  c->serverHandle = server->serverHandle.load();
  std::lock_guard lk(Library().lock());
  try {
    server->clientsById[id] = c.get();
  } catch (...) {
    return Fail<ClientPtr>(cvErrorOutOfMemory, nullptr);
  }
  ServerPtr owner = FindServer(SOCKET(server->serverHandle.load()));
  c->server = owner;
  if (server->lastClient) {
    server->lastClient->next = c;
    c->previous = server->lastClient;
  } else {
    server->firstClient = c;
  }
  server->lastClient = c;
  server->clientCount.fetch_add(1);
  server->lastClientId.store(id);
  return c;
}

// Unlinks the client, lowers the count and closes its connection.
void ServerFreeClient(ServerClientRecord* client) {
  if (!client) return;
  const SOCKET h = SOCKET(client->clientHandle.load());
  {
    std::lock_guard lk(Library().lock());
    ServerPtr s = client->server.lock();
    if (s) {
      ClientPtr self;
      ClientPtr prev = client->previous.lock();
      if (prev) {
        self = prev->next;
        prev->next = client->next;
      } else if (s->firstClient.get() == client) {
        self = s->firstClient;
        s->firstClient = client->next;
      }
      if (self) {  // it was linked
        if (client->next) client->next->previous = prev;
        else s->lastClient = prev;
        s->clientCount.fetch_sub(1);
        if (client->clientHandle.load() != uint64_t(INVALID_SOCKET)) s->clientsWithHandle.fetch_sub(1);
        s->clientsById.erase(client->clientId);
      }
      if (h != INVALID_SOCKET && s->acceptingHandle.load() == h) s->acceptingHandle.store(uint64_t(INVALID_SOCKET));
    }
    Unindex(*client);
    client->next.reset();
    client->previous.reset();
  }
  if (h != INVALID_SOCKET) {
    if (RecordPtr r = FindRecord(h)) r->serverOwned.store(0);
    InetDisconnect(h);
  }
}

void ServerFlagClientsClose(ServerRecord* server) {
  if (!server) return;
  for (const ClientPtr& c : ClientsOf(*server)) {
    c->flags.fetch_or(kClientFlagDisconnect);
    if (RecordPtr r = FindRecord(SOCKET(c->clientHandle.load()))) RequestClose(*r);
    c->wake.Set();
  }
  plat::Sleep(10);
}

uint32_t ServerListServers(SOCKET* handles, uint32_t capacity) {
  std::lock_guard lk(Library().lock());
  uint32_t n = 0;
  for (const ServerPtr& s : Table()) {
    if (!s) continue;
    if (handles && n < capacity) handles[n] = SOCKET(s->serverHandle.load());
    ++n;
  }
  return n;
}

int32_t ServerGetStatus(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  return int32_t(s->status.load());
}

int32_t ServerGetContext(SOCKET server, uint64_t* context) {
  if (!context) return Fail(cvErrorInvalidParameter, 0);
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle, 0);
  *context = s->ownerContext.load();
  return 1;
}

int32_t ServerSetContext(SOCKET server, uint64_t context) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle, 0);
  s->ownerContext.store(context);
  return 1;
}

int32_t ServerGetClientContext(SOCKET client, uint64_t* context) {
  if (!context) return Fail(cvErrorInvalidParameter, 0);
  ClientPtr c = FindClient(client);
  if (!c) return Fail(cvErrorInvalidHandle, 0);
  *context = c->ownerContext.load();
  return 1;
}

int32_t ServerSetClientContext(SOCKET client, uint64_t context) {
  ClientPtr c = FindClient(client);
  if (!c) return Fail(cvErrorInvalidHandle, 0);
  c->ownerContext.store(context);
  return 1;
}

int32_t ServerGetClientCount(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  return int32_t(s->clientsWithHandle.load());
}

int32_t ServerListClients(SOCKET server, uint64_t* handles, uint32_t capacity) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  int32_t n = 0;
  bool full = false;
  ForEachClient(*s, [&](const ServerClientRecord& c) {
    if (!Live(c) || full) return;
    if (handles) {
      if (uint32_t(n) >= capacity) {
        full = true;
        return;
      }
      handles[n] = c.clientHandle.load();
    }
    ++n;
  });
  return full ? Fail(cvErrorBufferTooSmall) : n;
}

int32_t ServerCountClientsFrom(SOCKET server, const SockAddress* address) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  if (address && address->family != uint32_t(plat::kAfInet) && address->family != uint32_t(plat::kAfInet6))
    return Fail(cvErrorProtocolFamily);
  int32_t n = 0;
  ForEachClient(*s, [&](const ServerClientRecord& c) {
    if (Live(c) && (!address || (c.peerAddress.family == address->family &&
                                 std::memcmp(c.peerAddress.address, address->address, 16) == 0)))
      ++n;
  });
  return n;
}

uint32_t ServerGetThreadId(SOCKET server) {
  ServerPtr s = FindServer(server);
  return s ? s->listenerThreadId.load() : 0;
}

uint32_t ServerGetClientId(SOCKET client) {
  ClientPtr c = FindClient(client);
  return c ? c->clientId : 0;
}

SOCKET ServerFindClientById(SOCKET server, uint32_t clientId) {
  uint64_t found = uint64_t(INVALID_SOCKET);
  if (ServerPtr s = FindServer(server)) {
    thread_local LastFound<ServerClientRecord, uint32_t> last;
    if (ClientPtr c = last.Get(clientId); c && c->server.lock() == s) {
      found = c->clientHandle.load();
    } else {
      std::lock_guard lk(Library().lock());
      if (auto it = s->clientsById.find(clientId); it != s->clientsById.end()) {
        found = it->second->clientHandle.load();
        if (auto h = ClientsByHandle().find(SOCKET(found));
            h != ClientsByHandle().end() && h->second.get() == it->second)
          last.Keep(clientId, h->second);
      }
    }
  }
  return found != uint64_t(INVALID_SOCKET) ? SOCKET(found) : FailHandle(cvErrorInvalidParameter);
}

ServerClientRecord* ServerFindClient(SOCKET client) {
  ClientPtr c = FindClient(client);
  if (!c) return Fail<ServerClientRecord*>(cvErrorInvalidHandle, nullptr);
  return c.get();
}

SOCKET ServerFindById(uint32_t serverId) {
  ServerPtr s = FindServerById(serverId);
  if (!s || s->serverHandle.load() == uint64_t(INVALID_SOCKET)) return FailHandle(cvErrorInvalidParameter);
  return SOCKET(s->serverHandle.load());
}

SOCKET ServerGetCurrentClient() {
  std::lock_guard lk(Library().lock());
  InetThreadRecord* t = InetGetThreadRecord();
  return t ? SOCKET(t->clientHandle) : INVALID_SOCKET;
}

SOCKET ServerGetClientServer(SOCKET client) {
  ServerPtr s;
  if (!FindClient(client, &s)) return INVALID_SOCKET;
  return SOCKET(s->serverHandle.load());
}

int32_t ServerGetPriority(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle);
  return int32_t(s->priority.load());
}

int32_t ServerSetStackSize(SOCKET server, uint32_t bytes) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle, 0);
  s->clientStackSize.store(bytes == 0 ? kServerDefaultStack : std::clamp<uint32_t>(bytes, 0x40000, 0x800000));
  return 1;
}
