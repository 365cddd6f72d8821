#pragma once
// Inside the socket library: its frame instance, the handle and thread tables, and the
// helpers every part of the library shares.
#include <memory>

#include "core/errors/error_codes.h"
#include "core/frame/frame.h"
#include "sockets/inet.h"

namespace cvsock {

// The frame keeps no sessions of its own: this library's handles live in its own table.
struct UnusedSession {
  LibSessionHeader header;
  uint32_t options;
  plat::HeapHandle heap;
};

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct LibraryState {
  plat::WSADATA startup;
};

struct FrameTraits {
  using Session = UnusedSession;
  using LibraryState = cvsock::LibraryState;
  static constexpr const char* kBanner = "Tarnwheeler Windows Sockets Library";
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static bool InitSession(Frame&, UnusedSession&) { return true; }
  static void BeforeFreeAll(Frame& f);
  static void OnProcessDetach(Frame& f);
};

Frame& Library() noexcept;

using RecordPtr = std::shared_ptr<InetSocketRecord>;

// Sets the last error and returns the failure value.
template <typename T = int32_t>
inline T Fail(uint32_t code, T value = T(-1)) noexcept {
  Library().SetLastError(code);
  return value;
}
inline SOCKET FailHandle(uint32_t code) noexcept { return Fail<SOCKET>(code, INVALID_SOCKET); }
// The socket error of the calling thread as the last error; returns -1.
int32_t FailSocket() noexcept;

// The calling thread's last answer of a table look-up by handle, given again without the
// library lock while its record is still listed under that handle: a client's thread asks
// for its own handle's records dozens of times per request, and every ask under the one
// lock made the threads queue for it. Record has std::atomic<bool> listed, set and cleared
// under the library lock as the record enters and leaves its table's index. Held weakly:
// it keeps nothing alive.
template <typename Record, typename Key = SOCKET>
class LastFound {
 public:
  std::shared_ptr<Record> Get(Key key) const noexcept {
    if (key != key_) return nullptr;
    std::shared_ptr<Record> r = record_.lock();
    return r && r->listed.load(std::memory_order_acquire) ? r : nullptr;
  }
  void Keep(Key key, const std::shared_ptr<Record>& r) noexcept {
    key_ = key;
    record_ = r;
  }

 private:
  Key key_{};  // meaningless while record_ is empty
  std::weak_ptr<Record> record_;
};

// ---- handle table (library lock inside) ----
// The record of a handle without owner check, kept alive by the returned pointer.
RecordPtr FindRecord(SOCKET handle) noexcept;
// Adds a record; false when the table cannot grow.
bool AddRecord(const RecordPtr& record) noexcept;
// Removes the record from the table; true when it was there.
bool RemoveRecord(const InetSocketRecord* record) noexcept;
// Copies of every record in the table.
std::vector<RecordPtr> AllRecords();
// Creates a record for an open socket (owner: the calling thread, registered); none with
// 0x8004271C (the socket is then left to the caller).
RecordPtr NewRecord(SOCKET s, uint32_t family, uint32_t type, uint32_t protocol) noexcept;
// Frees what a record owns besides the socket (heap, line buffer, TLS state).
void DestroyRecordContents(InetSocketRecord& r) noexcept;
bool OwnedByCaller(const InetSocketRecord& r) noexcept;
// The record of a handle the caller may use (owner or any-thread option); none with the error.
RecordPtr LookupOwned(SOCKET handle) noexcept;
// Last detach: frees every thread record and the table.
void ReleaseThreadTable() noexcept;

// ---- waits ----
enum class WaitResult { Ready, Timeout, Canceled, Aborted, Error };
struct WaitReady {
  bool read = false;
  bool write = false;
  bool except = false;  // urgent data or a pending socket error
};
// Waits up to timeoutMs (plat::INFINITE: no limit) for the handle's socket to become
// readable (POLLIN) and/or writable (POLLOUT), waking early for a cancel, an abort or a
// close request. Sets busy and state around the wait, and the last error for every
// result but Ready: an abort also aborts the handle.
WaitResult WaitSocket(InetSocketRecord& r, short events, uint32_t timeoutMs, uint32_t state, WaitReady* ready);
// The milliseconds of a handle time-out in seconds (0: no limit).
uint32_t TimeoutMs(uint32_t seconds) noexcept;
// A zero-time poll of one socket (no flags touched); -1 on error.
int PollNow(SOCKET s, short events, short* revents) noexcept;
// SO_ERROR of a socket; -1 when it cannot be read.
int32_t PendingError(SOCKET s) noexcept;
// Asks a handle's blocked wait to end (cancel semantics) and keeps later waits from blocking.
void RequestClose(InetSocketRecord& r) noexcept;

// ---- helpers of the handle operations ----
int32_t SetBlocking(SOCKET s, bool blocking) noexcept;
void SetLingerZero(SOCKET s) noexcept;
void ReadLocalAddress(InetSocketRecord& r) noexcept;
void ReadPeerAddress(InetSocketRecord& r) noexcept;
int32_t AbortRecord(InetSocketRecord& r) noexcept;
// The deferred connection of a listening record (it leaves the record), or -1.
SOCKET TakeDeferred(InetSocketRecord& listening) noexcept;  // the non-server part of InetAbort
uint32_t OsMajorVersion() noexcept;

// ---- TLS (sec_session.cpp) ----
void ReleaseTls(InetSocketRecord& r, bool sendCloseNotify) noexcept;
bool TlsActive(const InetSocketRecord& r) noexcept;
bool TlsHasHeldInput(const InetSocketRecord& r) noexcept;

// ---- engine hooks used by the handle operations (server_*.cpp) ----
// The listening handle's server is in its accept notification: the connection being accepted.
SOCKET ServerAcceptingHandleOf(SOCKET listening) noexcept;
bool ServerHasClientRecord(SOCKET client) noexcept;
// InetDisconnect / InetAbort of an engine socket; -2 when the handle is not the engine's
// (then the caller carries on), else the result.
int32_t ServerDisconnectHandle(SOCKET handle) noexcept;
int32_t ServerAbortHandle(SOCKET handle) noexcept;
// Last detach: stops every server and waits for its threads.
void ServerStopAll() noexcept;

}  // namespace cvsock
