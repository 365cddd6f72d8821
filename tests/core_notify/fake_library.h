#pragma once
// A small client library instantiating the notification engine the way the file-transfer
// library does: twelve event codes, a control and a data socket, the data socket's
// network events turned into events 4 (connected), 8 (closed), 16 (readable) and
// 32 (writable), FD_CONNECT on the control socket into 1 (connected).
#include <cstdint>

#include "core/frame/frame.h"
#include "core/notify/notify_engine.h"
#include "core/sock/sock.h"

namespace fake {

struct Session {
  LibSessionHeader header;
  SOCKET dataSocket;
  uint32_t options;
  plat::HeapHandle heap;
  cvcore::NotifyRegistration<12> notify;
  bool connected;
  uint32_t bytesRead;  // what the FD_READ handling read off the data socket
};

struct LibraryState {
  plat::WSADATA startup;
  cvcore::NotifyWindowTable windows;
};

// Tag tells two instances apart (two libraries subclassing one window).
template <int Tag>
struct FrameTraits;
template <int Tag>
using Frame = cvcore::LibraryFrame<FrameTraits<Tag>>;
template <int Tag>
struct NotifyTraits;
template <int Tag>
using Engine = cvcore::NotifyEngine<NotifyTraits<Tag>>;

template <int Tag>
Frame<Tag>& Library() noexcept {
  static Frame<Tag> frame;
  return frame;
}

template <int Tag>
struct FrameTraits {
  using Session = fake::Session;
  using LibraryState = fake::LibraryState;
  static constexpr const char* kBanner = "Notification test library";
  static uint32_t SockStartup(Frame<Tag>& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame<Tag>&) { ::SockCleanup(); }
  static bool InitSession(Frame<Tag>&, Session& s) {
    s.dataSocket = INVALID_SOCKET;
    return true;
  }
  static void BeforeFreeAll(Frame<Tag>&) { Engine<Tag>::ReleaseWindows(); }
  static void OnProcessDetach(Frame<Tag>&) { Engine<Tag>::ReleaseWindows(); }
  static void ReleaseSessionLocked(Frame<Tag>&, Session& s) { Engine<Tag>::ReleaseSession(s); }
  static bool UsesSocket(const Session& s, SOCKET socket) { return s.dataSocket == socket; }
  static HWND WindowOf(const Session& s) { return s.notify.socketWindow; }
};

inline constexpr uint32_t kConnected = 1, kDataConnected = 4, kDataClosed = 8, kReadable = 16, kWritable = 32,
                          kTimedOut = 64, kCanceled = 128, kReply = 256, kProgress = 512, kUploadStarting = 2048;

template <int Tag>
struct NotifyTraits {
  using Frame = fake::Frame<Tag>;
  using Session = fake::Session;
  using Engine = fake::Engine<Tag>;
  static constexpr int kEventCount = 12;
  static constexpr uint32_t kNetworkEvents = 63;
  static Frame& Library() { return fake::Library<Tag>(); }
  static cvcore::NotifyRegistration<12>& Registration(Session& s) { return s.notify; }
  static cvcore::NotifyWindowTable& Windows() { return fake::Library<Tag>().state().windows; }
  static SOCKET EventSocket(Session& s) { return s.dataSocket; }
  static uint32_t SelectRefusal(Session& s) { return s.dataSocket == INVALID_SOCKET ? cvErrorConnectionClosed : 0; }
  static void OnSocketEvent(Session& s, SOCKET socket, int32_t fdEvent, uint32_t error) {
    const LibHandle h = s.header.handle;
    const bool data = socket == s.dataSocket;
    switch (fdEvent) {
      case plat::FD_READ:
        if (!data) return;
        if (!error) {
          char buffer[4096];
          const int32_t n = SockRecv(socket, buffer, sizeof buffer, 0);
          if (n > 0) s.bytesRead += uint32_t(n);
        }
        Engine::Fire(h, kReadable, error);
        return;
      case plat::FD_WRITE:
        if (data) Engine::Fire(h, kWritable, error);
        return;
      case plat::FD_CONNECT:
        if (!data) {
          if (error) return;
          s.connected = true;
          Engine::Fire(h, kConnected, 0);
        } else {
          Engine::Fire(h, kDataConnected, error);
        }
        return;
      case plat::FD_CLOSE:
        if (data) Engine::Fire(h, kDataClosed, error);
        return;
    }
  }
};

}  // namespace fake
