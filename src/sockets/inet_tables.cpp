// The handle table (handles are the sockets themselves) and the table of threads that use
// the library. Both grow by 256 entries and are guarded by the library lock. Records are
// shared so that a thread cancelling or inspecting another thread's handle never touches
// a freed record.
#include <deque>
#include <vector>

#include "platform/base/thread.h"
#include "platform/base/tick.h"
#include "sockets/inet_internal.h"

namespace cvsock {

namespace {

constexpr size_t kTableStep = 256;

struct Tables {
  std::vector<RecordPtr> handles;
  std::deque<InetThreadRecord> threads;  // records never move: threads keep pointers
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
  for (auto& t : T().threads)
    if (t.threadId == id) return &t;
  return nullptr;
}

}  // namespace

RecordPtr FindRecord(SOCKET handle) noexcept {
  if (handle == INVALID_SOCKET) return nullptr;
  std::lock_guard lk(Library().lock());
  for (const RecordPtr& r : T().handles)
    if (r && r->handle == handle) return r;
  return nullptr;
}

bool AddRecord(const RecordPtr& record) noexcept {
  std::lock_guard lk(Library().lock());
  auto& h = T().handles;
  for (auto& slot : h) {
    if (!slot) {
      slot = record;
      return true;
    }
  }
  size_t old = h.size();
  if (!Grow(h)) return false;
  h[old] = record;
  return true;
}

bool RemoveRecord(const InetSocketRecord* record) noexcept {
  std::lock_guard lk(Library().lock());
  for (auto& slot : T().handles) {
    if (slot.get() == record) {
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
  InetThreadRecord* t = FindThread(0);
  if (!t) {
    auto& v = T().threads;
    size_t old = v.size();
    if (!Grow(v)) return Fail(cvErrorOutOfMemory, 0);
    t = &v[old];
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
    *t = InetThreadRecord{0, 0, uint64_t(INVALID_SOCKET), uint64_t(INVALID_SOCKET), nullptr};
  }
}

InetThreadRecord* InetGetThreadRecord() {
  std::lock_guard lk(Library().lock());
  return FindThread(plat::GetCurrentThreadId());
}
