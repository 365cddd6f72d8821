#include "ftp/ftp_library.h"

namespace cvftp {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame& frame, FtpSession& s) {
  s.dataSocket = INVALID_SOCKET;
  const LibHandle h = s.header.handle;
  s.dataBuffer = static_cast<char*>(frame.MemSessionAlloc(h, kFtpDataBufferSize));
  if (!s.dataBuffer) return false;
  for (char*& buffer : s.tlsBuffers) {
    buffer = static_cast<char*>(frame.MemSessionAlloc(h, kFtpTlsBufferSize));
    if (!buffer) return false;
  }
  return true;
}

void FrameTraits::ReleaseSessionLocked(Frame&, FtpSession& s) {
  // The buffers live in the session heap, which goes with the record.
  s.dataBuffer = nullptr;
  for (char*& buffer : s.tlsBuffers) buffer = nullptr;
}

}  // namespace cvftp
