#pragma once
// The library frame every protocol library instantiates once: process-attach counting,
// the library lock, the per-thread last error, error texts, attach/detach with a
// LibVersionInfo, the session table reached through LibHandle values with owner-thread
// checks, and the library's private heaps.
//
// One instance per library and nothing shared between instances: each has its own lock,
// thread slot, handle base, table and heap. What differs per library comes from Traits:
//
//   using Session = ...;          // standard record: `LibSessionHeader header` first, a
//                                 // `uint32_t options` and a `plat::HeapHandle heap` member
//   static constexpr const char* kBanner;
//   static bool InitSession(Frame&, Session&);  // defaults and buffers; false: out of memory
// and optionally (each called only when present):
//   using LibraryState = ...;     // further library-wide state, reached through state()
//   static uint32_t SockStartup(Frame&); static void SockCleanup(Frame&);  // socket layer use;
//   static plat::WSADATA* StartupData(Frame&);  // its start-up data, handed back on attach
//   static void OnFullAttach(Frame&);           // under the lock, after counting the attach
//   static void BeforeFreeAll(Frame&);          // last detach: end tasks, release windows
//   static void AfterFreeAll(Frame&);           // last detach: after every session is freed
//   static void OnProcessDetach(Frame&);        // last process detach, before the heap goes
//   static void ReleaseSessionLocked(Frame&, Session&);    // under the lock, record still in the table
//   static void ReleaseSessionUnlocked(Frame&, Session&);  // after it left the table, lock released
//   static bool UsesSocket(const Session&, SOCKET);  // besides header.controlSocket
//   static HWND WindowOf(const Session&);
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "core/errors/error_codes.h"
#include "core/errors/error_texts.h"
#include "core/errors/status.h"
#include "core/frame/lib_types.h"
#include "core/heap/private_heap.h"
#include "platform/base/last_error.h"
#include "platform/base/sync.h"
#include "platform/base/thread.h"
#include "platform/base/tick.h"
#include "platform/version.h"

namespace cvcore {

namespace detail {
struct NoLibraryState {};
template <typename T>
struct LibraryStateOf {
  using type = NoLibraryState;
};
template <typename T>
  requires requires { typename T::LibraryState; }
struct LibraryStateOf<T> {
  using type = typename T::LibraryState;
};
}  // namespace detail

inline constexpr uint32_t kErrorTextBufferSize = 128;
inline constexpr uint32_t kSessionTableStep = 256;

template <typename Traits>
class LibraryFrame {
 public:
  using Session = typename Traits::Session;
  using LibraryState = typename detail::LibraryStateOf<Traits>::type;
  static_assert(offsetof(Session, header) == 0, "a session record starts with its LibSessionHeader");
  static_assert(alignof(Session) <= alignof(std::max_align_t));

  LibraryFrame() = default;
  LibraryFrame(const LibraryFrame&) = delete;
  LibraryFrame& operator=(const LibraryFrame&) = delete;

  // ---- process attach / detach ----

  void ProcessAttach(void* module) noexcept {
    if (processAttach_.fetch_add(1) != -1) return;
    processAttach_.fetch_add(1);  // from 0 to 1: attached once
    slotActive_.store(lastError_.valid());
    handleBase_ = 4096u + (plat::GetTickCount() & 255u);
    tzset();
    if (module) module_.exchange(module);
  }

  void ProcessDetach() noexcept {
    int32_t now = processAttach_.fetch_sub(1) - 1;
    if (now == 0) {
      processAttach_.store(-1);
      if constexpr (requires(LibraryFrame& f) { Traits::OnProcessDetach(f); }) Traits::OnProcessDetach(*this);
      {
        // Sessions never freed by a detach: release what they own before the heap goes.
        std::lock_guard lk(lock_);
        for (uint32_t i = 0; i < capacity_; ++i)
          if (Session* s = table_[i]) ReleaseAndDestroy(s);
        table_ = nullptr;
        capacity_ = 0;
      }
      MemDestroyLibraryHeap();
      slotActive_.store(false);
      module_.store(nullptr);
    } else if (now < 0) {
      processAttach_.store(-1);
    }
  }

  // ---- attach / detach ----

  // An attach that does not count (it fails, or only fills the record) also undoes the
  // process attach it made itself, so that no detach is owed for it.
  int32_t Attach(LibVersionInfo* info) noexcept {
    const bool ownProcessAttach = !module_.load();
    if (ownProcessAttach) ProcessAttach(nullptr);
    const Result<AttachKind> r = AttachCounted(info);
    if (!(r.ok() && r.value() == AttachKind::Counted) && ownProcessAttach) ProcessDetach();
    if (r.ok()) SetLastError(0);
    return Finish(r.status(), 1, 0);
  }

 private:
  enum class AttachKind { RecordOnly, Counted };

  // A counted full attach, or an attach that only filled the record.
  Result<AttachKind> AttachCounted(LibVersionInfo* info) noexcept {
    plat::OsVersion v;
    if (plat::GetOsVersion(&v) && v.major < 5) return Status(cvErrorInvalidVersion);
    std::lock_guard lk(lock_);
    uint32_t options = 0;
    if (info) {
      if (info->size != sizeof(LibVersionInfo)) return Status(cvErrorInvalidParameter);
      options = info->options;
      info->options = 0;
      info->reserved2 = 0;
      info->startupData = nullptr;
      info->majorVersion = kLibVersionMajor;
      info->minorVersion = kLibVersionMinor;
      info->build = kLibVersionBuild;
      std::memset(info->banner, 0, sizeof info->banner);
      std::strncpy(info->banner, Traits::kBanner, sizeof info->banner - 1);
    }
    if (options != 0 && !(options & kLibAttachFull)) return AttachKind::RecordOnly;
    if constexpr (requires(LibraryFrame& f) { Traits::SockStartup(f); }) {
      if (uint32_t r = Traits::SockStartup(*this); r != 0) return Status(kCvErrorBase | r);
    }
    ++attachCount_;
    if constexpr (requires(LibraryFrame& f) { Traits::StartupData(f); })
      if (info) info->startupData = Traits::StartupData(*this);
    if constexpr (requires(LibraryFrame& f) { Traits::OnFullAttach(f); }) Traits::OnFullAttach(*this);
    return AttachKind::Counted;
  }

 public:

  void Detach() noexcept {
    {
      std::lock_guard lk(lock_);
      if (attachCount_ > 0 && --attachCount_ == 0) {
        if constexpr (requires(LibraryFrame& f) { Traits::BeforeFreeAll(f); }) Traits::BeforeFreeAll(*this);
        // Every remaining session goes, whichever thread owned it.
        for (uint32_t i = 0; i < capacity_; ++i) {
          if (Session* s = table_[i]) {
            LibHandle h = s->header.handle;
            SetHandleOwner(h, 0);
            FreeSession(h);
          }
        }
        memory_.Free(table_);
        table_ = nullptr;
        capacity_ = 0;
        if constexpr (requires(LibraryFrame& f) { Traits::AfterFreeAll(f); }) Traits::AfterFreeAll(*this);
        if constexpr (requires(LibraryFrame& f) { Traits::SockCleanup(f); }) Traits::SockCleanup(*this);
      }
    }
    if (!module_.load()) ProcessDetach();
  }

  // The attach count; 0 with cvErrorNetworkNotInitialized when not attached.
  uint32_t IsInitialized() noexcept {
    const uint32_t count = AttachCount();
    if (count == 0) SetLastError(cvErrorNetworkNotInitialized);
    return count;
  }
  // The same, setting no error.
  uint32_t AttachCount() noexcept {
    std::lock_guard lk(lock_);
    return attachCount_;
  }

  // The lock always exists here, so it is taken even outside process attach (harmless).
  void Lock() noexcept { lock_.lock(); }
  void Unlock() noexcept { lock_.unlock(); }
  plat::RecursiveLock& lock() noexcept { return lock_; }

  // ---- last error ----

  void SetLastError(uint32_t code) noexcept {
    if (code >= 1 && code <= 0xFFFF) code |= kCvErrorBase;
    if (slotActive_.load()) lastError_.SetValue(code);
    fallbackError_.exchange(code);
    plat::SetLastError(code);
  }

  uint32_t GetLastError() const noexcept {
    return slotActive_.load() ? uint32_t(lastError_.GetValue()) : fallbackError_.load();
  }

  // Where a public call ends: a failure's code becomes the last error (a success leaves
  // it as it was), and the call returns onSuccess or onFailure.
  template <typename T>
  T Finish(Status status, T onSuccess, std::type_identity_t<T> onFailure) noexcept {
    if (status.ok()) return onSuccess;
    SetLastError(status.error());
    return onFailure;
  }
  template <typename T>
  T Finish(const Result<T>& result, std::type_identity_t<T> onFailure) noexcept {
    return Finish(result.status(), result.value(), onFailure);
  }
  // The same for a call that, when it succeeds, leaves no error of its steps behind: the
  // last error 0.
  template <typename T>
  T FinishClean(Status status, T onSuccess, std::type_identity_t<T> onFailure) noexcept {
    if (status.ok()) SetLastError(0);
    return Finish(status, onSuccess, onFailure);
  }
  template <typename T>
  T FinishClean(const Result<T>& result, std::type_identity_t<T> onFailure) noexcept {
    return FinishClean(result.status(), result.value(), onFailure);
  }

  // Copies the thread's socket error into the last error; returns the stored code or 0.
  uint32_t SetSocketError() noexcept {
    uint32_t err = plat::GetLastError();
    if (err == 0) return 0;
    SetLastError(kCvErrorBase | err);
    return GetLastError();
  }

  // The text of code (0: the thread's last error) into buffer (128 characters, or null to
  // learn only the length); its length, 0 when the table has none. Sets no error.
  uint32_t GetErrorText(uint32_t code, char* buffer) const noexcept {
    char internal[512];
    char* out = buffer ? buffer : internal;
    const size_t room = buffer ? kErrorTextBufferSize : sizeof internal;
    out[0] = '\0';
    if (code == 0) code = GetLastError();
    if (code == 0) return 0;
    const char* text = ErrorTextFor(code);
    if (!text) return 0;
    size_t n = std::strlen(text);
    if (n > room - 1) n = room - 1;
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '\t')) --n;
    std::memcpy(out, text, n);
    out[n] = '\0';
    return uint32_t(n);
  }

  // ---- sessions ----

  LibHandle AllocSession() noexcept { return Finish(NewSession(), kInvalidLibHandle); }

  // Releases a session and all it owns. Only its owner (or anyone, for a free-threaded
  // session) may; otherwise nothing happens. The caller's last error is kept.
  void FreeSession(LibHandle handle) noexcept {
    const uint32_t saved = GetLastError();
    std::unique_lock lk(lock_);
    Session* s = Entry(handle);
    if (!s || !OwnedByCaller(*s)) {
      lk.unlock();
      SetLastError(saved);
      return;
    }
    if constexpr (requires(LibraryFrame& f) { Traits::ReleaseSessionLocked(f, *s); })
      Traits::ReleaseSessionLocked(*this, *s);
    table_[s->header.slot] = nullptr;
    lk.unlock();
    // Out of the table: no lookup can reach it any more, so slow closes need no lock
    // (unless the caller holds it, as the last detach does).
    if constexpr (requires(LibraryFrame& f) { Traits::ReleaseSessionUnlocked(f, *s); })
      Traits::ReleaseSessionUnlocked(*this, *s);
    DestroyRecord(s);
    SetLastError(saved);
  }

  // Validates the handle (cvErrorInvalidHandle) and the owner thread
  // (cvErrorNotHandleOwner).
  Session* GetSession(LibHandle handle) noexcept { return Finish(LookupOwned(handle), nullptr); }

  // No owner check; cvErrorInvalidHandle when the handle names no session.
  Session* FindSession(LibHandle handle) noexcept { return Finish(Lookup(handle), nullptr); }

  // Hands a session to another thread (0: the caller); the previous owner, or -1 with
  // cvErrorInvalidHandle.
  uint32_t SetHandleOwner(LibHandle handle, uint32_t threadId) noexcept {
    std::lock_guard lk(lock_);
    Session* s = Entry(handle);
    if (!s) return Finish(Status(cvErrorInvalidHandle), 0u, 0xFFFFFFFFu);
    uint32_t previous = s->header.ownerThread;
    s->header.ownerThread = threadId ? threadId : plat::GetCurrentThreadId();
    return previous;
  }

  // A session whose control (or, per library, another) socket is s, with the owner check.
  Session* FindSessionBySocket(SOCKET socket) noexcept { return Finish(LookupBySocket(socket), nullptr); }

  // The lookups behind the three above, setting no error: for code that runs inside
  // another call (a window procedure, an event delivery) or finishes the call itself.
  Result<Session*> Lookup(LibHandle handle) noexcept {
    std::lock_guard lk(lock_);
    if (Session* s = Entry(handle)) return s;
    return Status(cvErrorInvalidHandle);
  }
  Result<Session*> LookupOwned(LibHandle handle) noexcept {
    const Result<Session*> found = Lookup(handle);
    if (found.ok() && !OwnedByCaller(*found.value())) return Status(cvErrorNotHandleOwner);
    return found;
  }
  Result<Session*> LookupBySocket(SOCKET socket) noexcept {
    if (socket == INVALID_SOCKET) return Status(cvErrorInvalidHandle);
    std::lock_guard lk(lock_);
    for (uint32_t i = 0; i < capacity_; ++i) {
      Session* s = table_[i];
      if (!s || !UsesSocket(*s, socket)) continue;
      if (!OwnedByCaller(*s)) return Status(cvErrorNotHandleOwner);
      return s;
    }
    return Status(cvErrorInvalidHandle);
  }

  // The handle of the calling thread's session attached to window; -1 with
  // cvErrorInvalidHandle.
  LibHandle FindHandleByWindow(HWND window) noexcept {
    std::lock_guard lk(lock_);
    if (window) {
      for (uint32_t i = 0; i < capacity_; ++i) {
        Session* s = table_[i];
        if (s && Traits::WindowOf(*s) == window && s->header.ownerThread == plat::GetCurrentThreadId())
          return s->header.handle;
      }
    }
    return Finish(Status(cvErrorInvalidHandle), kInvalidLibHandle, kInvalidLibHandle);
  }

  // Calls fn(Session&) for every session in the table, under the lock.
  template <typename Fn>
  void ForEachSession(Fn&& fn) {
    std::lock_guard lk(lock_);
    for (uint32_t i = 0; i < capacity_; ++i)
      if (Session* s = table_[i]) fn(*s);
  }

  // ---- private heaps ----

  plat::HeapHandle MemLibraryHeap() noexcept { return memory_.Get(); }
  void* MemAlloc(size_t size) noexcept { return memory_.Alloc(size); }
  void MemFree(void* block) noexcept { memory_.Free(block); }
  void MemDestroyLibraryHeap() noexcept { memory_.Destroy(); }

  // Session heaps are reached without an owner check (tasks and status queries use them
  // from other threads) but always under the lock, so a concurrent free cannot pull the
  // heap away mid-call.
  plat::HeapHandle MemSessionHeap(LibHandle handle) noexcept {
    std::lock_guard lk(lock_);
    Session* s = Entry(handle);
    return s ? EnsureHeap(s->heap) : nullptr;
  }
  void* MemSessionAlloc(LibHandle handle, size_t size) noexcept {
    std::lock_guard lk(lock_);
    Session* s = Entry(handle);
    return s && size ? HeapBlockAlloc(EnsureHeap(s->heap), size) : nullptr;
  }
  void MemSessionFree(LibHandle handle, void* block) noexcept {
    std::lock_guard lk(lock_);
    if (Session* s = Entry(handle)) HeapBlockFree(s->heap, block);
  }
  void MemDestroySessionHeap(LibHandle handle) noexcept {
    std::lock_guard lk(lock_);
    if (Session* s = Entry(handle)) DestroyHeap(s->heap);
  }

  // ---- inspection ----

  uint32_t HandleBase() const noexcept { return handleBase_; }
  uint32_t Capacity() noexcept {
    std::lock_guard lk(lock_);
    return capacity_;
  }
  int32_t ProcessAttachCount() const noexcept { return processAttach_.load(); }
  void* Module() const noexcept { return module_.load(); }
  LibraryState& state() noexcept { return state_; }

  // A new session record in the table, set up by the library (AllocSession, for a caller
  // that finishes the call itself).
  Result<LibHandle> NewSession() noexcept {
    std::lock_guard lk(lock_);
    if (attachCount_ == 0) return Status(cvErrorNetworkNotInitialized);
    uint32_t slot = 0;
    while (slot < capacity_ && table_[slot]) ++slot;
    if (slot == capacity_ && !GrowTable()) return Status(cvErrorOutOfMemory);
    void* mem = memory_.Alloc(sizeof(Session));
    if (!mem) return Status(cvErrorOutOfMemory);
    Session* s = new (mem) Session();
    s->header.handle = handleBase_ + slot;
    s->header.slot = slot;
    s->header.ownerThread = plat::GetCurrentThreadId();
    s->header.controlSocket = INVALID_SOCKET;
    table_[slot] = s;
    if (!Traits::InitSession(*this, *s)) {
      table_[slot] = nullptr;
      DestroyRecord(s);
      return Status(cvErrorOutOfMemory);
    }
    return s->header.handle;
  }

 private:
  // The table entry of a handle, or null; the caller holds the lock. A handle below the
  // base wraps to a huge slot and is out of range.
  Session* Entry(LibHandle handle) const noexcept {
    if (handle == kInvalidLibHandle || handle > 0xFFFFFFFFu) return nullptr;
    uint32_t slot = uint32_t(handle) - handleBase_;
    return slot < capacity_ ? table_[slot] : nullptr;
  }

  bool OwnedByCaller(const Session& s) const noexcept {
    return (s.options & kLibOptionFreeThreaded) || s.header.ownerThread == plat::GetCurrentThreadId();
  }

  bool UsesSocket(const Session& s, SOCKET socket) const noexcept {
    if (s.header.controlSocket == socket) return true;
    if constexpr (requires { Traits::UsesSocket(s, socket); })
      return Traits::UsesSocket(s, socket);
    else
      return false;
  }

  bool GrowTable() noexcept {
    const uint32_t bigger = capacity_ + kSessionTableStep;
    auto** table = static_cast<Session**>(memory_.Alloc(sizeof(Session*) * bigger));
    if (!table) return false;
    if (capacity_) std::memcpy(table, table_, sizeof(Session*) * capacity_);
    memory_.Free(table_);
    table_ = table;
    capacity_ = bigger;
    return true;
  }

  void ReleaseAndDestroy(Session* s) noexcept {
    if constexpr (requires(LibraryFrame& f) { Traits::ReleaseSessionLocked(f, *s); })
      Traits::ReleaseSessionLocked(*this, *s);
    if constexpr (requires(LibraryFrame& f) { Traits::ReleaseSessionUnlocked(f, *s); })
      Traits::ReleaseSessionUnlocked(*this, *s);
    DestroyRecord(s);
  }

  void DestroyRecord(Session* s) noexcept {
    DestroyHeap(s->heap);
    s->~Session();
    memory_.Free(s);
  }

  std::atomic<int32_t> processAttach_{-1};
  plat::RecursiveLock lock_;
  plat::ThreadSlot lastError_;
  std::atomic<bool> slotActive_{false};
  std::atomic<uint32_t> fallbackError_{0};
  uint32_t handleBase_ = 4096;
  std::atomic<void*> module_{nullptr};
  uint32_t attachCount_ = 0;
  Session** table_ = nullptr;
  uint32_t capacity_ = 0;
  LibraryHeap memory_;
  LibraryState state_{};
};

}  // namespace cvcore
