#pragma once
// Event notification of a client library: per-session registration of a window, a message
// and an event mask plus one callback per event bit; firing an event calls the callback
// and sends the message (wParam = session handle, lParam = MAKELONG(event, error)); a
// session's socket can be routed to a window of its owner thread, which the library then
// subclasses to turn the socket's network events into its own events; while an event is
// delivered those network events are held and replayed afterwards, in a fixed order.
//
// Written once and instantiated per library with a traits type:
//
//   using Frame = cvcore::LibraryFrame<...>;     // the library's frame
//   using Session = typename Frame::Session;
//   static constexpr int kEventCount;             // event codes are 1 << 0 .. 1 << (kEventCount - 1)
//   static constexpr uint32_t kNetworkEvents;     // event codes raised from network events:
//                                                 // registering one routes the socket to the window
//   static Frame& Library();
//   static NotifyRegistration<kEventCount[, Callback]>& Registration(Session&);
//   static NotifyWindowTable& Windows();          // the library's table, in its library state
//   static SOCKET EventSocket(Session&);          // the socket selected, held and replayed
//                                                 // (INVALID_SOCKET when there is none); sets no error
//   static void OnSocketEvent(Session&, SOCKET socket, int32_t fdEvent, uint32_t error);
//       // one network event of a socket the frame finds the session by (FindSessionBySocket),
//       // error 0 or 0x80040000 | Windows Sockets number; fires the library's events with
//       // Fire. May free the session.
// and optionally:
//   static uint32_t SelectRefusal(Session&);      // 0, or the error refusing a socket selection
//   static constexpr bool kStaysNonBlocking = true;  // a socket no longer routed to a window is
//                                                    // left non-blocking (its library waits first)
//
// The frame's WindowOf should answer Registration(s).socketWindow. The library calls
// ReleaseWindows at its last detach and at process detach (the table lives on its heap).
#include <bit>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/notify/window_table.h"
#include "core/sock/sock.h"
#include "platform/base/last_error.h"
#include "platform/base/thread.h"
#include "platform/msg/message.h"
#include "platform/msg/subclass.h"
#include "platform/msg/window.h"
#include "platform/net/wsa_types.h"

namespace cvcore {

template <typename Traits>
class NotifyEngine {
 public:
  using Frame = typename Traits::Frame;
  using Session = typename Traits::Session;
  using Registration = std::remove_reference_t<decltype(Traits::Registration(std::declval<Session&>()))>;
  using Callback = typename Registration::CallbackType;
  static constexpr int kEventCount = Traits::kEventCount;
  static_assert(Registration::kEventCount == kEventCount);

  // ---- registration ----

  // window null: Unregister. Otherwise the window must exist and message be at least
  // 1024 (cvErrorInvalidParameter). A session without a socket window whose socket is open
  // and whose mask asks for network events first routes the socket to the window with
  // message 9215.
  static int32_t Register(LibHandle handle, HWND window, UINT message, uint32_t mask) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    if (!window) return Unregister(handle);
    if (!plat::IsWindow(window) || message < kNotifyFirstMessage)
      return f.Finish(Status(cvErrorInvalidParameter), 0, -1);
    auto& r = Traits::Registration(*s);
    if (!r.socketWindow && (mask & Traits::kNetworkEvents) && SocketOf(*s) != INVALID_SOCKET)
      if (const Status selected = Select(*s, window, kNotifySocketMessage); !selected.ok())
        return f.Finish(selected, 0, -1);
    r.notifyWindow = window;
    r.notifyMessage = message;
    r.eventMask.store(mask);
    return 0;
  }

  // Clears the callbacks, stops the socket's network events and the registration.
  static int32_t Unregister(LibHandle handle) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    auto& r = Traits::Registration(*s);
    for (int i = 0; i < kEventCount; ++i) {
      r.callbacks[i] = nullptr;
      r.parameters[i] = 0;
    }
    // Inside a delivery the selection stays (the cleared mask silences it); a refusal of
    // new selections (no data connection) must not keep the window attached.
    if (r.socketWindow && !r.Dispatching()) Deselect(*s);
    r.notifyWindow = nullptr;
    r.notifyMessage = 0;
    r.eventMask.store(0);
    return 0;
  }

  // Stores the callback of one event code (a single bit) and adds the code to the mask.
  static int32_t SetCallback(LibHandle handle, uint32_t event, Callback callback, uintptr_t parameter) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    const int bit = BitOf(event);
    if (bit < 0 || std::popcount(event) != 1) return f.Finish(Status(cvErrorInvalidParameter), 0, -1);
    auto& r = Traits::Registration(*s);
    r.callbacks[bit] = callback;
    r.parameters[bit] = parameter;
    r.eventMask.fetch_or(event);
    return 0;
  }

  // ---- firing and holding ----

  // Delivers one event: its callback, then the notification message. The result of
  // SendMessage; 0 when nothing was delivered (held, masked out, no such event); -1 for
  // an invalid handle. The receiver may free the session.
  static LRESULT Fire(LibHandle handle, uint32_t event, uint32_t error) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    auto& r = Traits::Registration(*s);
    if (r.held.load() || !(r.eventMask.load() & event)) return 0;
    const int bit = 31 - std::countl_zero(event);  // the highest bit names the event
    if (bit >= kEventCount) return 0;
    if (error >= 1 && error <= 0xFFFF) error |= kCvErrorBase;  // a bare number names the same error

    FreezeSession(*s, true);
    r.dispatchDepth.fetch_add(1);
    if (error) f.SetLastError(error);
    if (Callback cb = r.callbacks[bit]) {
      cb(handle, event, error, r.parameters[bit]);
      if (!StillThere(handle, s)) return 0;
    }
    LRESULT result = 0;
    if (r.notifyWindow)
      result = plat::SendMessage(r.notifyWindow, r.notifyMessage, WPARAM(handle),
                                 LPARAM(MAKELONG(WORD(event), WORD(error))));
    if (!StillThere(handle, s)) return result;
    r.dispatchDepth.fetch_sub(1);
    FreezeSession(*s, false);
    return result;
  }

  // Holds (1) or releases (0) the session's network events; releasing replays the ones
  // recorded meanwhile. Without a socket window or socket nothing is ever held.
  static int32_t Freeze(LibHandle handle, bool hold) noexcept {
    Session* s = Traits::Library().GetSession(handle);
    if (!s) return -1;
    FreezeSession(*s, hold);
    return 0;
  }

  // Holds (1) or releases (0) the network events of every other session of the calling
  // thread, for a thread that pumps messages inside a blocking wait. Holds nest; nothing
  // happens while this session's own events are held.
  static int32_t HoldOtherSessions(LibHandle handle, bool hold) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    auto& r = Traits::Registration(*s);
    if (r.held.load()) return 0;
    if (hold) {
      if (r.holdCount++ != 0) return 0;
    } else {
      if (r.holdCount == 0 || --r.holdCount != 0) return 0;
    }
    HoldOthers(*s, plat::GetCurrentThreadId(), hold);
    return 0;
  }

  // ---- socket selection and windows ----

  // Routes the session's socket to window (message at least 1024) for READ, WRITE,
  // CONNECT and CLOSE; a null window stops that and makes the socket blocking again.
  // cvErrorOperationInProgress while an event of the session is delivered.
  static int32_t SelectEvents(LibHandle handle, HWND window, UINT message) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return -1;
    return f.Finish(Select(*s, window, message), 0, -1);
  }

  // Attaches the session to a window of its owner thread (null detaches): the library
  // subclasses each window once, however many of its sessions are attached to it, and
  // restores it when the last one leaves. 1, or 0 with cvErrorInvalidParameter (no such
  // window), cvErrorNotHandleOwner (another thread's window), cvErrorOutOfMemory (memory).
  static int32_t AttachWindow(LibHandle handle, HWND window) noexcept {
    Frame& f = Traits::Library();
    Session* s = f.GetSession(handle);
    if (!s) return 0;
    return f.Finish(AttachTo(*s, window), 1, 0);
  }

  // For the library's session release, under its lock: the session leaves its window and
  // lets go of the holds it still has on the other sessions.
  static void ReleaseSession(Session& s) noexcept {
    auto& r = Traits::Registration(s);
    if (r.holdCount != 0) {
      r.holdCount = 0;
      HoldOthers(s, s.header.ownerThread, false);
    }
    if (r.socketWindow) Leave(Traits::Library(), r.socketWindow);
    r.socketWindow = nullptr;
  }

  // Restores every subclassed window and empties the table (last detach). A window of
  // another thread cannot be restored from here; its layer then only passes messages on.
  static void ReleaseWindows() noexcept {
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    Traits::Windows().Clear(
        f, [](NotifyWindowTable::Entry& e) { plat::RemoveWindowSubclass(e.window, &WindowProc, 0); });
  }

  // The subclass layer on every window of the table: socket messages of the library's
  // sessions become library events, WM_NCDESTROY detaches the thread's sessions; every
  // message then goes on down the chain.
  static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, plat::UINT_PTR,
                            plat::DWORD_PTR) {
    if (Known(window)) {
      if (message >= kNotifyFirstMessage)
        OnSocketMessage(window, message, wParam, lParam);
      else if (message == plat::WM_NCDESTROY)
        DetachThreadSessions(window);
    }
    return plat::DefSubclassProc(window, message, wParam, lParam);
  }

  // SelectEvents behind its handle check, for a library call that finishes itself.
  static Status Select(Session& s, HWND window, UINT message) noexcept {
    if constexpr (requires { Traits::SelectRefusal(s); }) {
      if (const uint32_t refusal = Traits::SelectRefusal(s)) return Status(refusal);
    }
    if (Traits::Registration(s).Dispatching()) return Status(cvErrorOperationInProgress);
    if (!window) {
      Deselect(s);
      return {};
    }
    if (message < kNotifyFirstMessage) return Status(cvErrorInvalidParameter);
    const Status attached = AttachTo(s, window);
    if (!attached.ok()) return attached;
    auto& r = Traits::Registration(s);
    r.socketMessage = message;
    if (SockAsyncSelect(SocketOf(s), window, message, kNotifySocketEvents) == 0) return {};
    // The socket layer's error; a failure that left none behind still fails.
    const uint32_t socketError = plat::GetLastError();
    DetachWindow(s);  // no selection, no attachment
    r.socketMessage = 0;
    return Status(socketError ? kCvErrorBase | socketError : uint32_t(cvErrorInvalidHandle));
  }

  // AttachWindow behind its handle check, for a library call that finishes itself.
  static Status AttachTo(Session& s, HWND window) noexcept {
    if (!window) {
      DetachWindow(s);
      return {};
    }
    if (!plat::IsWindow(window)) return Status(cvErrorInvalidParameter);
    if (plat::GetWindowThreadProcessId(window, nullptr) != plat::GetCurrentThreadId())
      return Status(cvErrorNotHandleOwner);
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    DetachWindow(s);
    NotifyWindowTable& table = Traits::Windows();
    NotifyWindowTable::Entry* e = table.Find(window);
    if (!e) {
      e = table.Add(f, window);
      if (!e) return Status(cvErrorOutOfMemory);
      if (!plat::SetWindowSubclass(window, &WindowProc, 0, 0)) {
        table.Remove(f, e);
        return Status(cvErrorInvalidParameter);
      }
    }
    ++e->sessions;
    Traits::Registration(s).socketWindow = window;
    return {};
  }

 private:
  static void HoldOthers(Session& s, uint32_t owner, bool hold) noexcept {
    Traits::Library().ForEachSession([&](Session& other) {
      if (&other != &s && other.header.ownerThread == owner) FreezeSession(other, hold);
    });
  }

  // Stops routing the session's socket to a window, and makes it blocking again.
  static void Deselect(Session& s) noexcept {
    auto& r = Traits::Registration(s);
    const bool wasAttached = r.socketWindow != nullptr;
    DetachWindow(s);
    const SOCKET sock = SocketOf(s);
    r.socketMessage = 0;
    if (wasAttached && sock != INVALID_SOCKET) {
      SockAsyncSelect(sock, nullptr, 0, 0);
      uint32_t blocking = 0;
      if constexpr (requires { Traits::kStaysNonBlocking; }) blocking = Traits::kStaysNonBlocking ? 1 : 0;
      SockIoctl(sock, plat::kFionBio, &blocking);
    }
  }

  // The session leaves its socket window, if it has one.
  static void DetachWindow(Session& s) noexcept {
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    auto& r = Traits::Registration(s);
    if (r.socketWindow) {
      Leave(f, r.socketWindow);
      r.socketWindow = nullptr;
    }
  }

  static int BitOf(uint32_t event) noexcept {
    if (event == 0) return -1;
    const int bit = 31 - std::countl_zero(event);
    return bit < kEventCount ? bit : -1;
  }

  static SOCKET SocketOf(Session& s) noexcept { return Traits::EventSocket(s); }

  // Whether the record a delivery started with is still that session: a receiver may
  // free it, and a new session may even take its slot and memory, but never with a
  // delivery under way.
  static bool StillThere(LibHandle handle, Session* s) noexcept {
    Session* now = Traits::Library().Lookup(handle).value();
    return now == s && Traits::Registration(*s).Dispatching();
  }

  static void FreezeSession(Session& s, bool hold) noexcept {
    auto& r = Traits::Registration(s);
    const SOCKET sock = SocketOf(s);
    if (!r.socketWindow || sock == INVALID_SOCKET) {
      r.held.store(false);
      return;
    }
    if (r.Dispatching()) return;
    if (!hold && r.held.load()) Replay(r, sock);
    r.held.store(hold);
  }

  // Posts the recorded network events again, one message per event, in this order.
  static void Replay(Registration& r, SOCKET sock) noexcept {
    static constexpr int32_t kOrder[] = {plat::FD_ACCEPT, plat::FD_CONNECT, plat::FD_CLOSE,
                                         plat::FD_READ,   plat::FD_WRITE,   plat::FD_OOB};
    const uint32_t events = r.heldNetworkEvents.exchange(0);
    for (int32_t fd : kOrder) {
      if (!(events & uint32_t(fd))) continue;
      const uint16_t error = r.heldErrors[std::countr_zero(uint32_t(fd))].exchange(0);
      plat::PostMessage(r.socketWindow, r.socketMessage, WPARAM(sock), plat::WSAMakeSelectReply(uint32_t(fd), error));
    }
  }

  static bool Known(HWND window) noexcept {
    Frame& f = Traits::Library();
    std::lock_guard lk(f.lock());
    return Traits::Windows().Find(window) != nullptr;
  }

  static void OnSocketMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    Frame& f = Traits::Library();
    // Most messages here are not ours (the window's own, the library's notification
    // message): the lookup sets no error, so the thread's last error stays.
    const SOCKET sock = SOCKET(wParam);
    Session* s = f.LookupBySocket(sock).value();
    if (!s || message != Traits::Registration(*s).socketMessage || window != Traits::Registration(*s).socketWindow)
      return;
    auto& r = Traits::Registration(*s);
    const uint32_t fdEvent = LOWORD(uint32_t(lParam));
    const uint32_t wsaError = HIWORD(uint32_t(lParam));
    if (r.held.load()) {
      for (uint32_t bits = fdEvent & uint32_t(plat::FD_ALL_EVENTS); bits; bits &= bits - 1)
        r.heldErrors[std::countr_zero(bits)].store(uint16_t(wsaError));
      r.heldNetworkEvents.fetch_or(fdEvent & uint32_t(plat::FD_ALL_EVENTS));
      return;
    }
    const uint32_t error = wsaError > 10000 ? (kCvErrorBase | wsaError) : 0;
    if (error) f.SetLastError(error);
    Traits::OnSocketEvent(*s, sock, int32_t(fdEvent), error);
  }

  // The window is going away: none of this thread's sessions may keep pointing at it.
  static void DetachThreadSessions(HWND window) noexcept {
    Frame& f = Traits::Library();
    const uint32_t saved = f.GetLastError();
    const uint32_t me = plat::GetCurrentThreadId();
    std::lock_guard lk(f.lock());
    f.ForEachSession([&](Session& s) {
      auto& r = Traits::Registration(s);
      if (r.socketWindow == window && s.header.ownerThread == me) {
        Leave(f, window);
        r.socketWindow = nullptr;
      }
    });
    f.SetLastError(saved);
  }

  // One session leaves window; the last one restores it. Under the library lock.
  static void Leave(Frame& f, HWND window) noexcept {
    NotifyWindowTable& table = Traits::Windows();
    NotifyWindowTable::Entry* e = table.Find(window);
    if (!e) return;
    if (e->sessions > 0 && --e->sessions > 0) return;
    plat::RemoveWindowSubclass(window, &WindowProc, 0);
    table.Remove(f, e);
  }
};

}  // namespace cvcore
