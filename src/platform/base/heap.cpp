#include "platform/base/heap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "platform/base/heap_faults.h"
#include "platform/base/last_error.h"
#include "platform/base/mapped_bytes.h"

namespace plat {

struct Heap {
  std::mutex m;
  size_t maximum = 0;
  size_t used = 0;
  std::unordered_map<void*, size_t> blocks;
};

// The zero-filled bytes of a global block: the C library's for small sizes, mapped pages
// for big ones (a retrieval block sized from an announced length, grown as data arrives).
class BlockBytes {
 public:
  BlockBytes() = default;
  BlockBytes(const BlockBytes&) = delete;
  BlockBytes& operator=(const BlockBytes&) = delete;
  ~BlockBytes() { Release(p_, size_); }

  unsigned char* data() const noexcept { return p_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  bool resize(size_t n) noexcept {
    if (n == size_ && p_) return true;
    void* q = nullptr;
    if (IsMapped(size_) && IsMapped(n)) {
      q = RemapBytes(p_, size_, n);
    } else if (!IsMapped(size_) && !IsMapped(n)) {
      q = std::realloc(p_, n ? n : 1);
      if (q && n > size_) std::memset(static_cast<unsigned char*>(q) + size_, 0, n - size_);
    } else {
      q = IsMapped(n) ? MapBytes(n) : std::calloc(1, n ? n : 1);
      if (q) {
        if (p_) std::memcpy(q, p_, std::min(n, size_));
        Release(p_, size_);
      }
    }
    if (!q) return false;
    p_ = static_cast<unsigned char*>(q);
    size_ = n;
    return true;
  }

 private:
  static bool IsMapped(size_t size) noexcept { return size >= kMappedMinimum; }
  static void Release(void* p, size_t size) noexcept {
    if (IsMapped(size)) UnmapBytes(p, size);
    else std::free(p);
  }

  unsigned char* p_ = nullptr;
  size_t size_ = 0;
};

struct GlobalBlock {
  BlockBytes data;
  uint32_t locks = 0;
};

namespace {

// Live heaps and global blocks, so that an unknown or destroyed handle is refused rather
// than dereferenced. The tables are never destroyed (handles may be freed at exit).
template <typename T>
struct LiveSet {
  std::mutex m;
  std::unordered_set<T*> items;
};

LiveSet<Heap>& Heaps() {
  static auto* s = new LiveSet<Heap>;
  return *s;
}
LiveSet<GlobalBlock>& Globals() {
  static auto* s = new LiveSet<GlobalBlock>;
  return *s;
}

// Locks the heap if it is live; the heap stays locked (and alive) for the caller.
std::unique_lock<std::mutex> LockHeap(Heap* heap) {
  std::lock_guard g(Heaps().m);
  if (!heap || !Heaps().items.count(heap)) return {};
  return std::unique_lock(heap->m);
}

#ifdef CV_ALLOC_FAULTS
struct FaultPlan {
  uint64_t failAt = 0;
  uint64_t count = 0;
  bool failed = false;
};
thread_local FaultPlan tPlan;

// True when this allocation is the one a test wants to fail.
bool InjectedFailure() noexcept {
  if (++tPlan.count != tPlan.failAt) return false;
  tPlan.failed = true;
  return true;
}
#else
constexpr bool InjectedFailure() noexcept { return false; }
#endif

}  // namespace

#ifdef CV_ALLOC_FAULTS
namespace testing {

void FailAllocation(uint64_t n) noexcept { tPlan = FaultPlan{n, 0, false}; }
uint64_t AllocationCount() noexcept { return tPlan.count; }
bool CountAllocation() noexcept { return InjectedFailure(); }
bool AllocationFailed() noexcept { return tPlan.failed; }

size_t LiveBlocks() noexcept {
  size_t n = 0;
  {
    std::lock_guard g(Heaps().m);
    for (Heap* h : Heaps().items) {
      std::lock_guard lk(h->m);
      n += h->blocks.size();
    }
  }
  std::lock_guard g(Globals().m);
  return n + Globals().items.size();
}

}  // namespace testing
#endif

HeapHandle HeapCreate(size_t initialSize, size_t maximumSize) noexcept {
  (void)initialSize;  // blocks come from the system allocator; no arena is reserved
  auto* h = InjectedFailure() ? nullptr : new (std::nothrow) Heap;
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  h->maximum = maximumSize;
  try {
    std::lock_guard g(Heaps().m);
    Heaps().items.insert(h);
  } catch (...) {
    delete h;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return h;
}

void* HeapAlloc(HeapHandle heap, size_t size) noexcept {
  auto lk = LockHeap(heap);
  if (!lk) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (heap->maximum && (size > heap->maximum || heap->used > heap->maximum - size)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* p = InjectedFailure() ? nullptr : std::calloc(1, size ? size : 1);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    heap->blocks.emplace(p, size);
  } catch (...) {
    std::free(p);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  heap->used += size;
  return p;
}

size_t HeapSize(HeapHandle heap, const void* block) noexcept {
  auto lk = LockHeap(heap);
  if (!lk) return SIZE_MAX;
  auto it = heap->blocks.find(const_cast<void*>(block));
  return it == heap->blocks.end() ? SIZE_MAX : it->second;
}

bool HeapFree(HeapHandle heap, void* block) noexcept {
  auto lk = LockHeap(heap);
  if (!lk) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  auto it = heap->blocks.find(block);
  if (it == heap->blocks.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  heap->used -= it->second;
  heap->blocks.erase(it);
  std::free(block);
  return true;
}

bool HeapDestroy(HeapHandle heap) noexcept {
  {
    std::lock_guard g(Heaps().m);
    if (!heap || Heaps().items.erase(heap) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
  }
  {
    // A call that looked the heap up before it left the set finishes first.
    std::lock_guard lk(heap->m);
    for (auto& [p, size] : heap->blocks) std::free(p);
    heap->blocks.clear();
  }
  delete heap;
  return true;
}

namespace {
GlobalBlock* LiveGlobal(HGLOBAL b) {
  return b && Globals().items.count(b) ? b : nullptr;
}
}  // namespace

HGLOBAL GlobalAlloc(uint32_t, size_t size) noexcept {
  if (InjectedFailure()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    auto b = std::make_unique<GlobalBlock>();
    if (!b->data.resize(size)) throw std::bad_alloc();
    std::lock_guard g(Globals().m);
    Globals().items.insert(b.get());
    return b.release();
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

HGLOBAL GlobalReAlloc(HGLOBAL block, size_t size, uint32_t) noexcept {
  std::lock_guard g(Globals().m);
  GlobalBlock* b = LiveGlobal(block);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (b->locks > 0) {  // a locked block would leave its holder with a dangling pointer
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((size > b->data.size() && InjectedFailure()) || !b->data.resize(size)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return b;
}

void* GlobalLock(HGLOBAL block) noexcept {
  std::lock_guard g(Globals().m);
  GlobalBlock* b = LiveGlobal(block);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++b->locks;
  // An empty block still yields a usable (non-null) pointer.
  static unsigned char empty;
  return b->data.empty() ? &empty : b->data.data();
}

bool GlobalUnlock(HGLOBAL block) noexcept {
  std::lock_guard g(Globals().m);
  GlobalBlock* b = LiveGlobal(block);
  if (!b || b->locks == 0) return false;
  return --b->locks > 0;
}

size_t GlobalSize(HGLOBAL block) noexcept {
  std::lock_guard g(Globals().m);
  GlobalBlock* b = LiveGlobal(block);
  return b ? b->data.size() : 0;
}

HGLOBAL GlobalFree(HGLOBAL block) noexcept {
  if (!block) return nullptr;
  {
    std::lock_guard g(Globals().m);
    if (Globals().items.erase(block) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return block;
    }
  }
  delete block;
  return nullptr;
}

}  // namespace plat
