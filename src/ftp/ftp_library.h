#pragma once
// The FTP library's instance of the library frame, and its private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "ftp/ftp_session.h"

namespace cvftp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct FrameTraits {
  using Session = FtpSession;
  static constexpr const char* kBanner = "Corvanetics File Transfer Protocol Library";
  static bool InitSession(Frame& frame, FtpSession& session);
  static void ReleaseSessionLocked(Frame& frame, FtpSession& session);
  static bool UsesSocket(const FtpSession& s, SOCKET socket) { return s.dataSocket == socket; }
  static HWND WindowOf(const FtpSession& s) { return s.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

// Private heaps: the library heap and the heap of a session, by handle.
CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvftp
