#pragma once
// The FTP library's instance of the library frame, and its private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "core/sock/sock.h"
#include "ftp/ftp_session.h"

namespace cvftp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

// Library-wide state beyond the frame's own.
struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
};

struct FrameTraits {
  using Session = FtpSession;
  using LibraryState = cvftp::LibraryState;
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static constexpr const char* kBanner = "Corvanetics File Transfer Protocol Library";
  static bool InitSession(Frame& frame, FtpSession& session);
  static void ReleaseSessionLocked(Frame& frame, FtpSession& session);
  static void ReleaseSessionUnlocked(Frame& frame, FtpSession& session);
  static bool UsesSocket(const FtpSession& s, SOCKET socket) { return s.dataSocket == socket; }
  static HWND WindowOf(const FtpSession& s) { return s.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

// Private heaps: the library heap and the heap of a session, by handle.
CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvftp
