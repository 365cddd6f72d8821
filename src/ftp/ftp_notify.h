#pragma once
// The FTP library's instance of the notification engine: twelve events, the data
// socket's network events turned into events 4 to 32 (and the control socket's connect
// into 1), and the internal fire call every operation of the library uses.
#include <cstdint>

#include "core/notify/notify_engine.h"
#include "ftp/ftp_library.h"

namespace cvftp {

struct NotifyTraits {
  using Frame = cvftp::Frame;
  using Session = FtpSession;
  static constexpr int kEventCount = kFtpEventCount;
  static constexpr uint32_t kNetworkEvents = 63;
  static Frame& Library() { return cvftp::Library(); }
  static auto& Registration(FtpSession& s) { return s.notify; }
  static cvcore::NotifyWindowTable& Windows() { return cvftp::Library().state().windows; }
  static SOCKET EventSocket(FtpSession& s) { return s.dataSocket; }
  static uint32_t SelectRefusal(FtpSession& s);
  static void OnSocketEvent(FtpSession& s, SOCKET socket, int32_t fdEvent, uint32_t error);
};

using Notify = cvcore::NotifyEngine<NotifyTraits>;

// Network events a registration can ask for (1 to 32).
inline constexpr uint32_t kNetworkEventMask = 63;

}  // namespace cvftp
