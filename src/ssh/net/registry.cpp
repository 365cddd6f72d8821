// The registry of the layer's sockets, ordered by handle: a pump finds the sockets of its
// owner through it. Threads register and leave at once, so it has a lock of its own.
#include <mutex>

#include "core/sock/sock.h"
#include "ssh/net/tcp_socket.h"
#include "ssh/util/tree234.h"

namespace cvssh::net {

namespace {

std::mutex g_mutex;
CountedTree* g_sockets = nullptr;

int CompareSockets(void* a, void* b) {
  SOCKET x = static_cast<TcpSocket*>(a)->handle, y = static_cast<TcpSocket*>(b)->handle;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareHandle(void* key, void* element) {
  SOCKET x = *static_cast<SOCKET*>(key), y = static_cast<TcpSocket*>(element)->handle;
  return x < y ? -1 : x > y ? 1 : 0;
}

thread_local const void* t_session = nullptr;

}  // namespace

NetOwner CurrentOwner() {
  // A session is its own owner whichever thread serves it; outside any session the
  // thread is.
  if (t_session) return {t_session, std::thread::id()};
  return {nullptr, std::this_thread::get_id()};
}

bool NetOwner::ServedBy(const void* pumped) const {
  if (session) return session == pumped;
  return thread == std::this_thread::get_id();
}

OwnerScope::OwnerScope(const void* session) : previous_(t_session) { t_session = session; }
OwnerScope::~OwnerScope() { t_session = previous_; }

void RegistryAdd(TcpSocket* socket) {
  std::lock_guard l(g_mutex);
  if (!g_sockets) g_sockets = TreeNew(CompareSockets);
  TreeAdd(g_sockets, socket);
}

void RegistryRemove(TcpSocket* socket) {
  std::lock_guard l(g_mutex);
  if (!g_sockets) return;
  SOCKET h = socket->handle;
  if (TreeFind(g_sockets, &h, CompareHandle) == socket) TreeDelete(g_sockets, socket);
}

TcpSocket* RegistryFind(SOCKET handle) {
  std::lock_guard l(g_mutex);
  if (!g_sockets) return nullptr;
  return static_cast<TcpSocket*>(TreeFind(g_sockets, &handle, CompareHandle));
}

void RegistryCollect(const void* session, std::vector<pollfd>& out) {
  std::lock_guard l(g_mutex);
  if (!g_sockets) return;
  for (int32_t i = 0; auto* s = static_cast<TcpSocket*>(TreeIndex(g_sockets, i)); ++i) {
    if (!s->owner.ServedBy(session)) continue;
    if (short events = s->Interest()) out.push_back({int(s->handle), events, 0});
  }
}

}  // namespace cvssh::net

using cvssh::net::g_mutex;
using cvssh::net::g_sockets;

SOCKET SshFirstSocket(int32_t* cursor) {
  *cursor = 0;
  return SshNextSocket(cursor);
}

SOCKET SshNextSocket(int32_t* cursor) {
  std::lock_guard l(g_mutex);
  if (!g_sockets) return INVALID_SOCKET;
  auto* s = static_cast<cvssh::net::TcpSocket*>(TreeIndex(g_sockets, (*cursor)++));
  return s ? s->handle : INVALID_SOCKET;
}

int32_t SshSocketEvent(SOCKET socket, uint32_t eventWord) {
  cvssh::net::TcpSocket* s = cvssh::net::RegistryFind(socket);
  return s ? s->HandleEvent(eventWord) : 1;
}

void SshNetShutdown() {
  for (;;) {
    cvssh::net::TcpSocket* s;
    {
      std::lock_guard l(g_mutex);
      if (!g_sockets) return;
      s = static_cast<cvssh::net::TcpSocket*>(TreeIndex(g_sockets, 0));
      if (!s) {
        TreeFree(g_sockets);
        g_sockets = nullptr;
        return;
      }
    }
    s->Close();
  }
}
