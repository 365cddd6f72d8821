#pragma once
// The server-library skeleton that the FTP and HTTP server libraries share: attach
// counting, the library lock, the two error slots, the registries that tie engine
// servers and clients to the library's records, and the lookups and server-level
// operations that only need those. Each server library instantiates it once with its own
// record types; two instances share nothing.
//
// Record needs: std::atomic<uint64_t> serverHandle; std::atomic<uint32_t> accepting,
// lastError, useCount. Session needs: uint32_t clientId; SOCKET controlSocket.
//
// Records and sessions are held by shared pointers: the engine keeps only a registry key
// as its context, so a client thread that still works on a record keeps it alive after a
// stop or disconnect took it out of the registry.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "core/errors/error_codes.h"
#include "core/frame/lib_types.h"
#include "sockets/inet.h"
#include "sockets/server/server.h"

namespace cvsrv {

template <typename Record, typename Session>
class ServerLibrary {
 public:
  using RecordPtr = std::shared_ptr<Record>;
  using SessionPtr = std::shared_ptr<Session>;

  // ---- attach ----
  int32_t Attach(LibVersionInfo* info, const char* banner) {
    if (info) {
      if (info->size != sizeof(LibVersionInfo)) {
        InetSetLastError(cvErrorInvalidParameter);
        return 0;
      }
      info->options = 0;
      info->reserved1 = 0;
      info->reserved2 = 0;
      info->majorVersion = kLibVersionMajor;
      info->minorVersion = kLibVersionMinor;
      info->build = kLibVersionBuild;
      std::memset(info->banner, 0, sizeof info->banner);
      std::strncpy(info->banner, banner, sizeof info->banner - 1);
    }
    LibVersionInfo full{};
    full.size = sizeof full;
    full.options = kLibAttachFull;
    if (!InetAttach(nullptr, &full)) return 0;
    attachCount_.fetch_add(1);
    return 1;
  }

  // True when this detach was the last one.
  bool Detach() {
    uint32_t n = attachCount_.load();
    while (n > 0 && !attachCount_.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 0) return false;
    InetDetach();
    return n == 1;
  }

  uint32_t IsInitialized() const {
    const uint32_t n = attachCount_.load();
    if (n == 0) InetSetLastError(cvErrorNetworkNotInitialized);
    return n;
  }

  // ---- lock and errors ----
  void Lock(uint64_t server) {
    if (attachCount_.load() == 0) return;
    lock_.lock();
    if (RecordPtr r = Peek(server)) r->useCount.fetch_add(1);
  }
  void Unlock(uint64_t server) {
    if (attachCount_.load() == 0) return;
    if (RecordPtr r = Peek(server)) {
      uint32_t n = r->useCount.load();
      while (n > 0 && !r->useCount.compare_exchange_weak(n, n - 1)) {
      }
    }
    lock_.unlock();
  }
  std::recursive_mutex& lock() { return lock_; }

  void SetLastError(uint64_t server, uint32_t code) {
    if (RecordPtr r = Peek(server)) r->lastError.store(code);
    InetSetLastError(code);
  }
  void SetLastError(Record& r, uint32_t code) {
    r.lastError.store(code);
    InetSetLastError(code);
  }
  uint32_t GetLastError(uint64_t server) {
    const uint32_t e = InetGetLastError();
    if (e != 0) return e;
    RecordPtr r = Peek(server);
    return r ? r->lastError.load() : 0;
  }

  // ---- registries ----
  uint64_t Register(const RecordPtr& r) {
    std::lock_guard lk(registry_);
    const uint64_t key = ++lastKey_;
    records_[key] = r;
    return key;
  }
  void Unregister(uint64_t key) {
    std::lock_guard lk(registry_);
    records_.erase(key);
  }
  uint64_t RegisterSession(const SessionPtr& s) {
    std::lock_guard lk(registry_);
    const uint64_t key = ++lastKey_;
    sessions_[key] = s;
    return key;
  }
  SessionPtr UnregisterSession(uint64_t key) {
    std::lock_guard lk(registry_);
    auto it = sessions_.find(key);
    if (it == sessions_.end()) return nullptr;
    SessionPtr s = std::move(it->second);
    sessions_.erase(it);
    return s;
  }

  // The record of a server handle without touching the last error.
  RecordPtr Peek(uint64_t server) {
    if (server == uint64_t(INVALID_SOCKET) || server == 0) return nullptr;
    uint64_t key = 0;
    if (ServerGetContext(SOCKET(server), &key) != 1 || key == 0) return nullptr;
    std::lock_guard lk(registry_);
    auto it = records_.find(key);
    return it == records_.end() ? nullptr : it->second;
  }

  // ---- lookups ----
  RecordPtr FindServer(uint64_t server) {
    RecordPtr r = Peek(server);
    if (!r) InetSetLastError(cvErrorInvalidHandle);
    return r;
  }

  SessionPtr SessionOfClient(SOCKET client) {
    uint64_t key = 0;
    if (client == INVALID_SOCKET || ServerGetClientContext(client, &key) != 1 || key == 0) return nullptr;
    std::lock_guard lk(registry_);
    auto it = sessions_.find(key);
    return it == sessions_.end() ? nullptr : it->second;
  }

  SessionPtr FindSession(uint64_t server, uint32_t clientId) {
    SessionPtr s;
    if (clientId != 0 && server != uint64_t(INVALID_SOCKET))
      s = SessionOfClient(ServerFindClientById(SOCKET(server), clientId));
    if (!s) SetLastError(server, cvErrorInvalidClientSession);
    return s;
  }

  uint32_t CurrentClientId(uint64_t server) {
    const SOCKET client = ServerGetCurrentClient();
    if (client != INVALID_SOCKET) {
      const uint64_t owner = uint64_t(ServerGetClientServer(client));
      if (SessionPtr s = SessionOfClient(client); s && (server == uint64_t(INVALID_SOCKET) || owner == server))
        return s->clientId;
    }
    SetLastError(server, cvErrorInvalidClientSession);
    return 0;
  }

  // ---- server-level operations on the accepting flag and the client list ----
  int32_t Suspend(uint64_t server) {
    RecordPtr r = FindServer(server);
    if (!r) return 0;
    r->accepting.exchange(0);
    return 1;
  }
  int32_t Resume(uint64_t server) {
    RecordPtr r = FindServer(server);
    if (!r) return 0;
    r->accepting.exchange(1);
    return 1;
  }
  int32_t IsListening(uint64_t server) {
    RecordPtr r = Peek(server);
    return r && ServerGetStatus(SOCKET(server)) == int32_t(twServerListening) && r->accepting.load() ? 1 : 0;
  }

  int32_t DisconnectClient(uint64_t server, uint32_t clientId) {
    SessionPtr s = FindSession(server, clientId);
    if (!s) return 0;
    return InetDisconnect(s->controlSocket) == 0 ? 1 : 0;
  }

  // Closes the connection of every client that has a session, all at once, and waits for
  // them to end (a client whose event the caller is handling ends after the caller
  // returns); their number, -1 for an unknown server.
  int32_t DisconnectAll(uint64_t server) {
    if (!FindServer(server)) return -1;
    const int32_t count = ServerGetClientCount(SOCKET(server));
    if (count <= 0) return 0;
    std::vector<uint64_t> clients(size_t(count) + 10);
    const int32_t n = ServerListClients(SOCKET(server), clients.data(), uint32_t(clients.size()));
    std::vector<SOCKET> withSession;
    for (int32_t i = 0; i < n; ++i)
      if (SessionOfClient(SOCKET(clients[size_t(i)]))) withSession.push_back(SOCKET(clients[size_t(i)]));
    if (withSession.empty()) return 0;
    ServerEndClients(withSession.data(), uint32_t(withSession.size()), kDisconnectWaitMs);
    return int32_t(withSession.size());
  }

  // The ids of the server's clients that have a session; -1 with the error.
  int32_t ListClientIds(uint64_t server, uint32_t* ids, uint32_t capacity) {
    if (!FindServer(server)) return -1;
    const int32_t count = ServerGetClientCount(SOCKET(server));
    if (count <= 0) return 0;
    if (ids && capacity < uint32_t(count)) {
      SetLastError(server, cvErrorBufferTooSmall);
      return -1;
    }
    std::vector<uint64_t> clients(size_t(count) + 16);
    const int32_t n = ServerListClients(SOCKET(server), clients.data(), uint32_t(clients.size()));
    uint32_t found = 0;
    for (int32_t i = 0; i < n; ++i) {
      SessionPtr s = SessionOfClient(SOCKET(clients[size_t(i)]));
      if (!s) continue;
      if (ids) {
        if (found >= capacity) {
          SetLastError(server, cvErrorBufferTooSmall);
          return -1;
        }
        ids[found] = s->clientId;
      }
      ++found;
    }
    return int32_t(found);
  }

  std::atomic<uint32_t> runningServers{0};

 private:
  static constexpr uint32_t kDisconnectWaitMs = 5000;
  std::atomic<uint32_t> attachCount_{0};
  std::recursive_mutex lock_;
  std::mutex registry_;
  uint64_t lastKey_ = 0;
  std::unordered_map<uint64_t, RecordPtr> records_;
  std::unordered_map<uint64_t, SessionPtr> sessions_;
};

}  // namespace cvsrv
