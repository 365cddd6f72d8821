#include "http/http_library.h"

#include "core/tls/sec_tls.h"
#include "http/http_internal.h"
#include "http/http_streams.h"
#include "http/http_tasks.h"

namespace cvhttp {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame&, HttpClientSession& s) {
  s.timeout = kDefaultTimeout;
  s.priority = 2;
  s.urlEncoding = 1;
  s.streams = new (std::nothrow) HttpStreams(s);
  return s.streams != nullptr;
}

void FrameTraits::BeforeFreeAll(Frame& f) {
  Notify::ReleaseWindows();
  Tasks::BeforeFreeAll(f);
  HttpFormFreeAll();
}

void FrameTraits::OnProcessDetach(Frame&) {
  Notify::ReleaseWindows();
  Tasks::TaskCleanupAll();
}

void FrameTraits::ReleaseSessionLocked(Frame&, HttpClientSession& s) {
  Tasks::SessionReleased(s.header.handle);
  s.notify.dispatchDepth.store(0);
  s.notify.held.store(false);
  Notify::ReleaseSession(s);
}

void FrameTraits::ReleaseSessionUnlocked(Frame&, HttpClientSession& s) {
  TlsShutdown(s);
  TlsRelease(s);
  delete s.streams;
  s.streams = nullptr;
  SecFreeCredentials(&s.credentials);
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  s.header.controlSocket = INVALID_SOCKET;
  if (s.dataBlock) plat::GlobalFree(s.dataBlock);
  s.dataBlock = nullptr;
  // Header lists, texts and buffers live in the session heap, which goes with the record.
}

}  // namespace cvhttp
