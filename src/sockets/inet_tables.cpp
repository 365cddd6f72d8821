// The handle table (handles are the sockets themselves) and the table of threads that use
// the library. Both grow by 256 entries and are guarded by the library lock. Records are
// shared so that a thread cancelling or inspecting another thread's handle never touches
// a freed record. Both are indexed as well (a handle by its value, a thread by its id):
// every call on a handle looks it up under the library lock, and a walk of a table of
// hundreds of entries there made the server threads queue for the lock.
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/thread.h"
#include "platform/base/tick.h"
#include "sockets/inet_internal.h"

namespace cvsock {

namespace {

constexpr size_t kTableStep = 256;

struct Tables {
  std::vector<RecordPtr> handles;
  // The records in handles by handle (a record leaves the table before its descriptor is
  // closed, so a descriptor has one record).
  std::unordered_map<SOCKET, RecordPtr> byHandle;
  std::deque<InetThreadRecord> threads;  // records never move: threads keep pointers
  std::unordered_map<uint32_t, InetThreadRecord*> byThread;
  std::vector<InetThreadRecord*> freeThreads;  // entries of threads with id 0
};

Tables& T() noexcept {
  static Tables tables;
  return tables;
}

// Grows v by one step; false when memory runs out.
template <typename V>
bool Grow(V& v) noexcept {
  try {
    v.resize(v.size() + kTableStep);
    return true;
  } catch (...) {
    return false;
  }
}

InetThreadRecord* FindThread(uint32_t id) noexcept {
  auto it = T().byThread.find(id);
  return it == T().byThread.end() ? nullptr : it->second;
}

// A free entry of the thread table, grown when none is left; null without memory.
InetThreadRecord* FreeThreadEntry() noexcept {
  auto& f = T().freeThreads;
  if (f.empty()) {
    auto& v = T().threads;
    const size_t old = v.size();
    try {
      f.reserve(v.size() + kTableStep);  // room for every entry to be free at once
    } catch (...) {
      return nullptr;
    }
    if (!Grow(v)) return nullptr;
    // Taken from the back: the first new entry goes first, as a walk of the table would.
    for (size_t i = v.size(); i > old; --i) f.push_back(&v[i - 1]);
  }
  InetThreadRecord* t = f.back();
  f.pop_back();
  return t;
}

}  // namespace

RecordPtr FindRecord(SOCKET handle) noexcept {
  if (handle == INVALID_SOCKET) return nullptr;
  thread_local LastFound<InetSocketRecord> last;
  if (RecordPtr r = last.Get(handle)) return r;
  std::lock_guard lk(Library().lock());
  auto it = T().byHandle.find(handle);
  if (it == T().byHandle.end()) return nullptr;
  last.Keep(handle, it->second);
  return it->second;
}

bool AddRecord(const RecordPtr& record) noexcept {
  std::lock_guard lk(Library().lock());
  // A record still held for the descriptor can only be one whose descriptor was closed
  // behind the library's back: the number now names the new socket.
  RecordPtr replaced;
  try {
    RecordPtr& indexed = T().byHandle[record->handle];
    replaced = std::exchange(indexed, record);
  } catch (...) {
    return false;
  }
  if (replaced) replaced->listed.store(false, std::memory_order_release);
  record->listed.store(true, std::memory_order_release);
  auto& h = T().handles;
  for (auto& slot : h) {
    if (!slot) {
      slot = record;
      return true;
    }
  }
  size_t old = h.size();
  if (!Grow(h)) {
    record->listed.store(false, std::memory_order_release);
    if (replaced) {
      T().byHandle[record->handle] = replaced;  // the entry exists: no allocation
      replaced->listed.store(true, std::memory_order_release);
    } else {
      T().byHandle.erase(record->handle);
    }
    return false;
  }
  h[old] = record;
  return true;
}

bool RemoveRecord(const InetSocketRecord* record) noexcept {
  std::lock_guard lk(Library().lock());
  for (auto& slot : T().handles) {
    if (slot.get() == record) {
      if (auto it = T().byHandle.find(record->handle); it != T().byHandle.end() && it->second.get() == record) {
        it->second->listed.store(false, std::memory_order_release);
        T().byHandle.erase(it);
      }
      slot.reset();
      return true;
    }
  }
  return false;
}

std::vector<RecordPtr> AllRecords() {
  std::lock_guard lk(Library().lock());
  std::vector<RecordPtr> out;
  for (const RecordPtr& r : T().handles)
    if (r) out.push_back(r);
  return out;
}

RecordPtr NewRecord(SOCKET s, uint32_t family, uint32_t type, uint32_t protocol) noexcept {
  RecordPtr r;
  try {
    r = std::make_shared<InetSocketRecord>();
  } catch (...) {
    return Fail<RecordPtr>(cvErrorOutOfMemory, nullptr);
  }
  r->handle = s;
  r->ownerThread.store(plat::GetCurrentThreadId());
  r->family = family;
  r->type = type;
  r->protocol = protocol;
  r->createdTick = r->lastReceiveTick = r->lastSendTick = plat::GetTickCount();
  std::lock_guard lk(Library().lock());
  if (!AddRecord(r)) return Fail<RecordPtr>(cvErrorOutOfMemory, nullptr);
  if (!InetRegisterThread(0)) {
    RemoveRecord(r.get());
    return nullptr;
  }
  return r;
}

void DestroyRecordContents(InetSocketRecord& r) noexcept {
  ReleaseTls(r, false);
  cvcore::DestroyHeap(r.heap);
  delete r.lineBuffer;
  r.lineBuffer = nullptr;
}

bool OwnedByCaller(const InetSocketRecord& r) noexcept {
  return (r.options.load() & kInetOptionAnyThread) || r.ownerThread.load() == plat::GetCurrentThreadId();
}

void ReleaseThreadTable() noexcept {
  std::lock_guard lk(Library().lock());
  for (auto& t : T().threads) Library().MemFree(t.scratch);
  std::deque<InetThreadRecord>().swap(T().threads);
  std::unordered_map<uint32_t, InetThreadRecord*>().swap(T().byThread);
  std::vector<InetThreadRecord*>().swap(T().freeThreads);
  for (auto& [handle, r] : T().byHandle) r->listed.store(false, std::memory_order_release);
  std::unordered_map<SOCKET, RecordPtr>().swap(T().byHandle);
  std::vector<RecordPtr>().swap(T().handles);
}

}  // namespace cvsock

using namespace cvsock;

InetSocketRecord* InetLookupHandle(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail<InetSocketRecord*>(cvErrorInvalidHandle, nullptr);
  if (!OwnedByCaller(*r)) return Fail<InetSocketRecord*>(cvErrorNotHandleOwner, nullptr);
  return r.get();  // the table keeps it until its owner releases it
}

InetSocketRecord* InetLookupHandleAnyThread(SOCKET handle) {
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail<InetSocketRecord*>(cvErrorInvalidHandle, nullptr);
  return r.get();
}

uint32_t InetSetHandleOwner(SOCKET handle) {
  std::lock_guard lk(Library().lock());
  RecordPtr r = FindRecord(handle);
  if (!r) return Fail<uint32_t>(cvErrorInvalidHandle, 0xFFFFFFFFu);
  const uint32_t me = plat::GetCurrentThreadId();
  const uint32_t previous = r->ownerThread.exchange(me);
  if (previous != me) {
    InetReleaseThread(previous);
    InetRegisterThread(me);
  }
  return previous;
}

uint32_t InetListThreadHandles(SOCKET* handles, uint32_t capacity) {
  std::lock_guard lk(Library().lock());
  const uint32_t me = plat::GetCurrentThreadId();
  uint32_t found = 0;
  for (const RecordPtr& r : T().handles) {
    if (!r || r->ownerThread.load() != me) continue;
    if (handles) {
      if (found >= capacity) break;
      handles[found] = r->handle;
    }
    ++found;
  }
  return found;
}

int32_t InetRegisterThread(uint32_t threadId) {
  if (threadId == 0) threadId = plat::GetCurrentThreadId();
  std::lock_guard lk(Library().lock());
  if (InetThreadRecord* t = FindThread(threadId)) {
    ++t->useCount;
    return 1;
  }
  InetThreadRecord* t = FreeThreadEntry();
  if (!t) return Fail(cvErrorOutOfMemory, 0);
  try {
    T().byThread.emplace(threadId, t);
  } catch (...) {
    T().freeThreads.push_back(t);  // room was reserved when the entry was made
    return Fail(cvErrorOutOfMemory, 0);
  }
  *t = InetThreadRecord{threadId, 1, uint64_t(INVALID_SOCKET), uint64_t(INVALID_SOCKET), nullptr};
  return 1;
}

void InetReleaseThread(uint32_t threadId) {
  if (threadId == 0) threadId = plat::GetCurrentThreadId();
  std::lock_guard lk(Library().lock());
  InetThreadRecord* t = FindThread(threadId);
  if (!t) return;
  if (t->useCount > 0) --t->useCount;
  if (t->useCount == 0) {
    Library().MemFree(t->scratch);
    T().byThread.erase(threadId);
    *t = InetThreadRecord{0, 0, uint64_t(INVALID_SOCKET), uint64_t(INVALID_SOCKET), nullptr};
    T().freeThreads.push_back(t);  // cannot throw: room for every entry was reserved
  }
}

InetThreadRecord* InetGetThreadRecord() {
  std::lock_guard lk(Library().lock());
  return FindThread(plat::GetCurrentThreadId());
}
