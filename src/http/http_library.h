#pragma once
// The HTTP library's instance of the library frame, and its private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "core/sock/sock.h"
#include "http/http_session.h"

namespace cvhttp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

// Library-wide state beyond the frame's own.
struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
};

struct FrameTraits {
  using Session = HttpClientSession;
  using LibraryState = cvhttp::LibraryState;
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static constexpr const char* kBanner = "Corvanetics Hypertext Transfer Protocol Library";
  static bool InitSession(Frame& frame, HttpClientSession& session);
  static HWND WindowOf(const HttpClientSession& s) { return s.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

// Private heaps: the library heap and the heap of a session, by handle.
CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvhttp
