// The socket library's frame: attach and detach, last error, error texts, and the heaps
// rounded to kilobytes.
#include <cstring>

#include "core/trace/trace.h"
#include "platform/version.h"
#include "sockets/inet_internal.h"
#include "sockets/server/server.h"

namespace cvsock {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

int32_t FailSocket() noexcept {
  uint32_t err = plat::GetLastError();
  if (err == 0) err = cvcore::ErrorNumber(cvErrorInternalFailure);
  Library().SetLastError(kCvErrorBase | cvcore::ErrorNumber(err));
  return -1;
}

uint32_t OsMajorVersion() noexcept {
  plat::OsVersion v;
  return plat::GetOsVersion(&v) ? v.major : 0;
}

// Last detach, under the library lock: every handle goes, whichever thread owned it.
void FrameTraits::BeforeFreeAll(Frame&) {
  for (const RecordPtr& r : AllRecords()) {
    r->ownerThread.store(plat::GetCurrentThreadId());
    InetReleaseHandle(r->handle);
  }
  ReleaseThreadTable();
  TraceDisable();
}

void FrameTraits::OnProcessDetach(Frame&) {
  SecUnloadProvider();
}

}  // namespace cvsock

using namespace cvsock;

void InetProcessAttach(void* module) {
  Library().ProcessAttach(module);
  InetRegisterWindowClass(module);
}

void InetProcessDetach() { Library().ProcessDetach(); }

int32_t InetAttach(const char*, LibVersionInfo* info) {
  int32_t r = Library().Attach(info);
  if (r) InetRegisterWindowClass(Library().Module());
  return r;
}

void InetDetach() {
  // The servers' threads need the library lock to end: stop them before the frame's
  // last detach takes it.
  const uint32_t saved = Library().GetLastError();
  const uint32_t count = Library().IsInitialized();
  Library().SetLastError(saved);
  if (count == 1) ServerStopAll();
  Library().Detach();
}

uint32_t InetIsInitialized() { return Library().IsInitialized(); }

void InetSetSocketError() { Library().SetSocketError(); }

uint32_t InetGetLastError() { return Library().GetLastError(); }

void InetSetLastError(uint32_t code) { Library().SetLastError(code); }

void InetLock() {
  if (Library().ProcessAttachCount() > 0) Library().Lock();
}

void InetUnlock() {
  if (Library().ProcessAttachCount() > 0) Library().Unlock();
}

uint32_t InetGetErrorText(uint32_t code, char* buffer, uint32_t size) {
  char scratch[512];
  char* out = buffer && size > 0 ? buffer : scratch;
  const size_t room = buffer && size > 0 ? size : sizeof scratch;
  out[0] = '\0';
  if (code == 0) code = Library().GetLastError();
  if (code == 0) return 0;
  const char* text = cvcore::ErrorTextFor(code);
  if (!text) return 0;
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) --n;
  if (n > room - 1) n = room - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
  return uint32_t(n);
}

namespace {

size_t Rounded(size_t size) { return (size / 1024 + 1) * 1024; }

}  // namespace

void* MemAllocRounded(size_t size) {
  if (size == 0) return nullptr;
  return Library().MemAlloc(Rounded(size));
}

void* MemHandleAlloc(SOCKET handle, size_t size) {
  if (size == 0 || handle == INVALID_SOCKET) return nullptr;
  std::lock_guard lk(Library().lock());
  RecordPtr r = FindRecord(handle);
  if (!r) return nullptr;
  return cvcore::HeapBlockAlloc(cvcore::EnsureHeap(r->heap), Rounded(size));
}

void MemHandleFree(SOCKET handle, void* block) {
  std::lock_guard lk(Library().lock());
  if (RecordPtr r = FindRecord(handle)) cvcore::HeapBlockFree(r->heap, block);
}
