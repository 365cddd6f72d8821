// The item queue of a server: 24-byte items (one VARIANT each) in nodes taken from the
// server's private queue heap, which the engine destroys together with the server record.
// The list heads live here, keyed by server id, because the engine's record has no room
// for them; a head whose heap is no longer the record's is stale and forgotten.
#include <cstring>
#include <map>

#include "sockets/server/server_internal.h"
#include "tcpsrv/extras/server_extras.h"

using namespace cvsock;

namespace {

struct QueueNode {
  uint32_t sequence;
  uint32_t reserved;
  uint32_t itemSize;
  void* item;
  QueueNode* next;
};

struct QueueHead {
  plat::HeapHandle heap = nullptr;
  QueueNode* first = nullptr;
  QueueNode* last = nullptr;
  uint32_t sequence = 0;
};

// Server id -> head; guarded by the library lock.
std::map<uint32_t, QueueHead>& Heads() {
  static std::map<uint32_t, QueueHead> heads;
  return heads;
}

// The head of a live server (library lock held); heads of servers gone are dropped.
QueueHead& HeadOf(ServerRecord& s) {
  auto& heads = Heads();
  for (auto it = heads.begin(); it != heads.end();) {
    if (it->first != s.serverId && !FindServerById(it->first)) it = heads.erase(it);
    else ++it;
  }
  QueueHead& h = heads[s.serverId];
  if (h.heap != s.queueHeap) h = QueueHead{s.queueHeap};
  return h;
}

// The server, looked up under the lock the caller holds, so that it cannot be freed
// (and its heap destroyed) while the queue is used.
ServerPtr LockedServer(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) Library().SetLastError(cvErrorInvalidHandle);
  return s;
}

}  // namespace

int32_t ServerEnqueue(SOCKET server, const void* item) {
  if (!item) return Fail(cvErrorInvalidParameter, 0);
  std::lock_guard lk(Library().lock());
  ServerPtr s = LockedServer(server);
  if (!s) return 0;
  if (!s->queueHeap) {
    s->queueHeap = plat::HeapCreate(0xFFFF, 0);
    if (!s->queueHeap) return Fail(cvErrorOutOfMemory, 0);
  }
  QueueHead& head = HeadOf(*s);
  auto* node = static_cast<QueueNode*>(plat::HeapAlloc(s->queueHeap, sizeof(QueueNode)));
  void* copy = node ? plat::HeapAlloc(s->queueHeap, kServerQueueItemSize) : nullptr;
  if (!copy) {
    if (node) plat::HeapFree(s->queueHeap, node);
    return Fail(cvErrorOutOfMemory, 0);
  }
  std::memcpy(copy, item, kServerQueueItemSize);
  node->sequence = ++head.sequence;
  node->itemSize = kServerQueueItemSize;
  node->item = copy;
  if (head.last) head.last->next = node;
  else head.first = node;
  head.last = node;
  ++s->queueCount;
  return 1;
}

int32_t ServerDequeue(SOCKET server, uint32_t remove, void* buffer, uint32_t* size) {
  if (!size) return Fail(cvErrorInvalidParameter, 0);
  const uint32_t room = *size;
  *size = 0;
  std::lock_guard lk(Library().lock());
  ServerPtr s = LockedServer(server);
  if (!s) return 0;
  if (!s->queueHeap) return 0;
  QueueHead& head = HeadOf(*s);
  QueueNode* node = head.first;
  if (!node) return 0;
  if (!buffer) {
    *size = node->itemSize;
    return 1;
  }
  if (room < node->itemSize) {
    *size = node->itemSize;
    return Fail(cvErrorBufferTooSmall, 0);
  }
  std::memcpy(buffer, node->item, node->itemSize);
  *size = node->itemSize;
  if (remove) {
    head.first = node->next;
    if (!head.first) head.last = nullptr;
    s->queueCount = head.first ? s->queueCount - 1 : 0;
    plat::HeapFree(s->queueHeap, node->item);
    plat::HeapFree(s->queueHeap, node);
  }
  return 1;
}

int32_t ServerGetQueueCount(SOCKET server) {
  std::lock_guard lk(Library().lock());
  ServerPtr s = LockedServer(server);
  if (!s) return -1;
  return int32_t(s->queueCount);
}
