#pragma once
// The HTTP library's instance of the library frame and of the notification engine, and its
// private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "core/notify/notify_engine.h"
#include "core/notify/window_table.h"
#include "core/sock/sock.h"
#include "core/task/task_types.h"
#include "http/http.h"
#include "http/http_form.h"
#include "http/http_session.h"

namespace cvhttp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

// Library-wide state beyond the frame's own.
struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
  cvcore::NotifyWindowTable windows;
  cvcore::TaskTable<cvcore::TaskRecord<HttpTransferStatus>> tasks;
  FormTable forms;
};

struct FrameTraits {
  using Session = HttpClientSession;
  using LibraryState = cvhttp::LibraryState;
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static constexpr const char* kBanner = "Corvanetics Hypertext Transfer Protocol Library";
  static bool InitSession(Frame& frame, HttpClientSession& session);
  static void BeforeFreeAll(Frame& frame);
  static void OnProcessDetach(Frame& frame);
  static void ReleaseSessionLocked(Frame& frame, HttpClientSession& session);
  static void ReleaseSessionUnlocked(Frame& frame, HttpClientSession& session);
  static HWND WindowOf(const HttpClientSession& s) { return s.notify.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

struct NotifyTraits;
using Notify = cvcore::NotifyEngine<NotifyTraits>;

struct NotifyTraits {
  using Frame = cvhttp::Frame;
  using Session = HttpClientSession;
  static constexpr int kEventCount = kHttpEventCount;
  static constexpr uint32_t kNetworkEvents = 1 | 2 | 4 | 8;
  static Frame& Library() { return cvhttp::Library(); }
  static cvcore::NotifyRegistration<kHttpEventCount>& Registration(Session& s) { return s.notify; }
  static cvcore::NotifyWindowTable& Windows() { return cvhttp::Library().state().windows; }
  static SOCKET EventSocket(Session& s) { return s.header.controlSocket; }
  static void OnSocketEvent(Session& s, SOCKET socket, int32_t fdEvent, uint32_t error);
};

// Private heaps: the library heap and the heap of a session, by handle.
CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvhttp
