// The registry of the layer's sockets, ordered by handle: the event pump finds the
// socket of an event through it.
#include "core/sock/sock.h"
#include "ssh/net/tcp_socket.h"
#include "ssh/util/tree234.h"

namespace cvssh::net {

namespace {

CountedTree* g_sockets = nullptr;

int CompareSockets(void* a, void* b) {
  SOCKET x = static_cast<TcpSocket*>(a)->handle, y = static_cast<TcpSocket*>(b)->handle;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareHandle(void* key, void* element) {
  SOCKET x = *static_cast<SOCKET*>(key), y = static_cast<TcpSocket*>(element)->handle;
  return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

void RegistryAdd(TcpSocket* socket) {
  if (!g_sockets) g_sockets = TreeNew(CompareSockets);
  TreeAdd(g_sockets, socket);
}

void RegistryRemove(TcpSocket* socket) {
  if (!g_sockets) return;
  SOCKET h = socket->handle;
  if (TreeFind(g_sockets, &h, CompareHandle) == socket) TreeDelete(g_sockets, socket);
}

TcpSocket* RegistryFind(SOCKET handle) {
  if (!g_sockets) return nullptr;
  return static_cast<TcpSocket*>(TreeFind(g_sockets, &handle, CompareHandle));
}

}  // namespace cvssh::net

using cvssh::net::g_sockets;

SOCKET SshFirstSocket(int32_t* cursor) {
  *cursor = 0;
  return SshNextSocket(cursor);
}

SOCKET SshNextSocket(int32_t* cursor) {
  if (!g_sockets) return INVALID_SOCKET;
  auto* s = static_cast<cvssh::net::TcpSocket*>(TreeIndex(g_sockets, (*cursor)++));
  return s ? s->handle : INVALID_SOCKET;
}

int32_t SshSocketEvent(SOCKET socket, uint32_t eventWord) {
  cvssh::net::TcpSocket* s = cvssh::net::RegistryFind(socket);
  return s ? s->HandleEvent(eventWord) : 1;
}

void SshNetShutdown() {
  if (!g_sockets) return;
  while (auto* s = static_cast<cvssh::net::TcpSocket*>(TreeIndex(g_sockets, 0))) s->Close();
  TreeFree(g_sockets);
  g_sockets = nullptr;
}
