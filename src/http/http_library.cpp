#include "http/http_library.h"

namespace cvhttp {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame& frame, HttpClientSession& s) {
  s.timeout = 20;
  s.priority = 2;
  s.urlEncoding = 1;
  for (char*& buffer : s.tlsBuffers) {
    buffer = static_cast<char*>(frame.MemSessionAlloc(s.header.handle, kHttpTlsBufferSize));
    if (!buffer) return false;
  }
  return true;
}

}  // namespace cvhttp
