#pragma once
// The FTP library's instance of the library frame, and its private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "core/notify/window_table.h"
#include "core/sock/sock.h"
#include "core/task/task_types.h"
#include "ftp/ftp_keepalive.h"
#include "ftp/ftp_session.h"

struct FtpTransferStatus;

namespace cvftp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

// One entry of the library's list of transfer types by file extension.
struct FileTypeEntry {
  char extension[64];  // without the leading dot
  uint32_t type;       // 0 to 3
};

// Library-wide state beyond the frame's own.
struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
  cvcore::NotifyWindowTable windows;  // windows subclassed for data sockets' network events
  // Transfer types by extension, shared by all sessions; changed under the library lock,
  // on the library heap, kept until the library goes.
  FileTypeEntry* fileTypes = nullptr;
  uint32_t fileTypeCount = 0;
  uint32_t fileTypeCapacity = 0;
  KeepAliveState keepAlive;
  cvcore::TaskTable<cvcore::TaskRecord<FtpTransferStatus>> tasks;  // background transfers
  int32_t sshInitialized = 0;  // the SSH layer's lock is held for this library
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
  static void BeforeFreeAll(Frame& frame);
  static void OnProcessDetach(Frame& frame);
  static void OnFullAttach(Frame& frame);
  static void AfterFreeAll(Frame& frame);
  static bool UsesSocket(const FtpSession& s, SOCKET socket) { return s.dataSocket == socket; }
  static HWND WindowOf(const FtpSession& s) { return s.notify.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

// Private heaps: the library heap and the heap of a session, by handle.
CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvftp
