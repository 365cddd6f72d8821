#include "ftp/ftp_library.h"

#include "core/tls/sec_tls.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_notify.h"
#include "ftp/ftp_tasks.h"
#include "ftp/ftp_tls.h"
#include "ftp/ftp_transfer.h"
#include "ssh/sftp/sftp.h"

namespace cvftp {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame& frame, FtpSession& s) {
  s.dataSocket = INVALID_SOCKET;
  s.autoFileType = 1;
  s.features = kInitialFeatures;
  s.encoding = kEncodingUtf8;
  s.fileType = kTypeImage;
  s.defaultAutoType = kTypeImage;
  s.timeout = 20;
  s.activePortLow = 1025;
  s.activePortHigh = 4999;
  s.state = FtpState::Idle;  // a new record: nothing to trace yet
  s.priority = 2;
  s.dataBufferSize = kFtpDataBufferSize;
  const LibHandle h = s.header.handle;
  s.dataBuffer = static_cast<char*>(frame.MemSessionAlloc(h, kFtpDataBufferSize));
  if (!s.dataBuffer) return false;
  s.dataCursor = s.dataBuffer;
  s.streams = new (std::nothrow) ChannelStreams(s);
  return s.streams != nullptr;
}

void FrameTraits::BeforeFreeAll(Frame& frame) {
  Notify::ReleaseWindows();
  Tasks::BeforeFreeAll(frame);
  StopKeepAlive();
}

// The SSH layer's lock exists while the library is attached (one reference per attach
// period: the frame reports only the last detach).
void FrameTraits::OnFullAttach(Frame& frame) {
  if (!frame.state().sshInitialized) frame.state().sshInitialized = SshInitialize();
}

void FrameTraits::AfterFreeAll(Frame& frame) {
  if (frame.state().sshInitialized) SshUninitialize();
  frame.state().sshInitialized = 0;
}

void FrameTraits::OnProcessDetach(Frame& frame) {
  Notify::ReleaseWindows();
  Tasks::TaskCleanupAll();
  frame.Lock();
  StopKeepAlive();
  frame.Unlock();
  LibraryState& state = frame.state();
  frame.MemFree(state.fileTypes);
  state.fileTypes = nullptr;
  state.fileTypeCount = state.fileTypeCapacity = 0;
}

void FrameTraits::ReleaseSessionLocked(Frame&, FtpSession& s) {
  Notify::ReleaseSession(s);
  Tasks::SessionReleased(s.header.handle);
  if (s.options & (kOptKeepAlive | kOptKeepAliveData)) hooks::DisableKeepAlive(s);
  // The buffers live in the session heap, which goes with the record.
  s.dataBuffer = nullptr;
  s.dataCursor = nullptr;
}

void FrameTraits::ReleaseSessionUnlocked(Frame&, FtpSession& s) {
  hooks::TlsRelease(s);
  SecFreeCredentials(&s.credentials);
  if (s.header.controlSocket != INVALID_SOCKET) SockClose(s.header.controlSocket);
  if (s.dataSocket != INVALID_SOCKET) SockClose(s.dataSocket);
  s.header.controlSocket = INVALID_SOCKET;
  s.dataSocket = INVALID_SOCKET;
  if (s.sftpSession) hooks::SftpDisconnect(s);
}

}  // namespace cvftp
