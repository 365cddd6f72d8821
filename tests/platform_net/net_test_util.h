#pragma once
// Helpers of the socket tests: loopback connections through the platform's socket table,
// and a message-only window whose socket messages the test collects.
#include <netinet/in.h>

#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base/last_error.h"
#include "platform/msg/msg.h"
#include "platform/net/socket_api.h"

namespace nettest {

inline const plat::WsaTable& ws() { return plat::WsaAdapters(); }

inline sockaddr_in Loopback4(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline const sockaddr* Sa(const sockaddr_in& a) { return reinterpret_cast<const sockaddr*>(&a); }

inline uint16_t PortOf(SOCKET s) {
  sockaddr_in a{};
  int32_t len = sizeof a;
  ws().getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// A listening TCP socket on 127.0.0.1 and a free port.
inline SOCKET Listener() {
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  sockaddr_in a = Loopback4(0);
  EXPECT_EQ(ws().bind(s, Sa(a), sizeof a), 0);
  EXPECT_EQ(ws().listen(s, 16), 0);
  return s;
}

// A port nobody listens on (bound once, then released).
inline uint16_t ClosedPort() {
  SOCKET s = ws().socket(plat::kAfInet, plat::kSockStream, 0);
  sockaddr_in a = Loopback4(0);
  ws().bind(s, Sa(a), sizeof a);
  uint16_t port = PortOf(s);
  ws().closesocket(s);
  return port;
}

// A connected pair on loopback: client (blocking) and the accepted server side.
struct Pair {
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
  Pair() {
    SOCKET l = Listener();
    client = ws().socket(plat::kAfInet, plat::kSockStream, 0);
    sockaddr_in a = Loopback4(PortOf(l));
    EXPECT_EQ(ws().connect(client, Sa(a), sizeof a), 0);
    server = ws().accept(l, nullptr, nullptr);
    ws().closesocket(l);
  }
  ~Pair() {
    if (client != INVALID_SOCKET) ws().closesocket(client);
    if (server != INVALID_SOCKET) ws().closesocket(server);
  }
};

struct SocketEvent {
  SOCKET socket;
  int32_t event;
  uint32_t error;
  bool operator==(const SocketEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const SocketEvent& e) {
  return os << "{socket " << e.socket << ", event " << e.event << ", error " << e.error << "}";
}

// A message-only window of the test thread; socket messages are read off the queue.
class SocketWindow {
 public:
  static constexpr UINT kMessage = plat::WM_USER + 7;

  SocketWindow() {
    plat::WNDCLASS wc{};
    wc.lpfnWndProc = plat::DefWindowProc;
    wc.lpszClassName = "net_test_window";
    plat::RegisterClass(&wc);  // a second registration in one process fails harmlessly
    hwnd_ = plat::CreateWindowEx(0, "net_test_window", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
  }
  ~SocketWindow() { plat::DestroyWindow(hwnd_); }
  HWND hwnd() const { return hwnd_; }

  // Socket messages that arrive within ms (all of them, waiting the whole time).
  std::vector<SocketEvent> Collect(int ms) {
    std::vector<SocketEvent> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      Drain(&out);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      plat::WaitForEventsOrMessages(nullptr, 0, uint32_t(left.count()) > 20 ? 20 : uint32_t(left.count()));
    }
    return out;
  }

  // Waits up to ms for the first socket message; the ones already there are returned too.
  std::vector<SocketEvent> WaitFor(int ms) {
    std::vector<SocketEvent> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.empty() && std::chrono::steady_clock::now() < end) {
      plat::WaitForEventsOrMessages(nullptr, 0, 10);
      Drain(&out);
    }
    return out;
  }

  // Whether a socket message is queued, without taking it.
  bool Pending() {
    plat::MSG m;
    return plat::PeekMessage(&m, hwnd_, kMessage, kMessage, plat::PM_NOREMOVE);
  }

 private:
  void Drain(std::vector<SocketEvent>* out) {
    plat::MSG m;
    while (plat::PeekMessage(&m, hwnd_, kMessage, kMessage, plat::PM_REMOVE))
      out->push_back({SOCKET(m.wParam), int32_t(LOWORD(uint32_t(m.lParam))), HIWORD(uint32_t(m.lParam))});
  }

  HWND hwnd_ = nullptr;
};

}  // namespace nettest
