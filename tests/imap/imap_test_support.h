#pragma once
// What the IMAP suites share: the library attached for each test, a scripted server's
// greeting and login, a host window that records notifications, and message pumping.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "imap/imap.h"
#include "imap/imap_bits.h"
#include "mail/common/mail_events.h"
#include "mail/ocx/notify_messages.h"
#include "platform/msg/msg.h"
#include "platform/msg/wait.h"
#include "support/script_server.h"

namespace imaptest {

class ImapTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ImapAttach(nullptr), 1); }
  void TearDown() override { ImapDetach(); }
};

inline constexpr const char* kCapabilities = "IMAP4rev1 IDLE UNSELECT ID";

// Greeting, the connect's CAPABILITY (A0001), LOGIN bob/secret (A0002) and its CAPABILITY (A0003).
inline cvtest::ScriptServer& GreetAndLogin(cvtest::ScriptServer& server, const std::string& caps = kCapabilities) {
  return server.Reply("* OK ready")
      .Expect("A0001 CAPABILITY")
      .Reply("* CAPABILITY " + caps)
      .Reply("A0001 OK done")
      .Expect("A0002 LOGIN \"bob\" \"secret\"")
      .Reply("A0002 OK logged in")
      .Expect("A0003 CAPABILITY")
      .Reply("* CAPABILITY " + caps)
      .Reply("A0003 OK done");
}

// Then SELECT "INBOX" (A0004) with count messages.
inline cvtest::ScriptServer& GreetLoginSelect(cvtest::ScriptServer& server, int count = 3,
                                              const std::string& caps = kCapabilities) {
  return GreetAndLogin(server, caps)
      .Expect("A0004 SELECT \"INBOX\"")
      .Reply("* " + std::to_string(count) + " EXISTS")
      .Reply("* 0 RECENT")
      .Reply("A0004 OK [READ-WRITE] selected");
}

inline LibHandle Connect(cvtest::ScriptServer& server, uint32_t options = 0, uint32_t timeout = 5) {
  server.Start();
  return ImapConnect(server.address(), uint32_t(server.port()), timeout, options, nullptr);
}

inline LibHandle ConnectAndLogin(cvtest::ScriptServer& server, bool select = false, uint32_t timeout = 5) {
  const LibHandle h = Connect(server, 0, timeout);
  if (h == kInvalidLibHandle) {
    ADD_FAILURE() << "connect: " << std::hex << ImapGetLastError() << " " << server.failure();
    return h;
  }
  EXPECT_EQ(ImapLogin(h, "bob", "secret"), 1) << std::hex << ImapGetLastError() << " " << server.failure();
  if (select) {
    EXPECT_EQ(ImapSelectMailbox(h, "INBOX", nullptr), 1) << std::hex << ImapGetLastError();
  }
  return h;
}

// Records the messages from first to first + 3 sent or posted to it (message, wParam, lParam).
class HostWindow {
 public:
  struct Delivery {
    UINT message;
    WPARAM wParam;
    uint32_t low;
    uint32_t high;
  };
  std::vector<Delivery> deliveries;

  HostWindow() {
    static const bool registered = [] {
      plat::WNDCLASS wc{};
      wc.lpfnWndProc = &Proc;
      wc.lpszClassName = "ImapTestHost";
      plat::RegisterClass(&wc);
      return true;
    }();
    (void)registered;
    hwnd_ = plat::CreateWindowEx(0, "ImapTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr, this);
  }
  ~HostWindow() {
    if (hwnd_ && plat::IsWindow(hwnd_)) plat::DestroyWindow(hwnd_);
  }
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  size_t Count(UINT message, uint32_t low) const {
    size_t n = 0;
    for (const auto& d : deliveries) n += d.message == message && d.low == low;
    return n;
  }

 private:
  static LRESULT Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == plat::WM_NCCREATE) {
      auto* cs = reinterpret_cast<plat::CREATESTRUCT*>(l);
      plat::SetWindowLongPtr(h, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<HostWindow*>(plat::GetWindowLongPtr(h, plat::GWLP_USERDATA));
    if (self && m >= mailctl::kMsgPop3Notify && m <= mailctl::kMsgMailboxUpdate)
      self->deliveries.push_back({m, w, uint32_t(LOWORD(uint32_t(l))), uint32_t(HIWORD(uint32_t(l)))});
    return plat::DefWindowProc(h, m, w, l);
  }
  HWND hwnd_ = nullptr;
};

// The update callback a control installs: posts kMsgMailboxUpdate with MAKELONG(type, number) to the
// window in the user data.
inline void PostUpdate(LibHandle handle, uint32_t type, uint32_t number, uintptr_t window) {
  plat::PostMessage(reinterpret_cast<HWND>(window), mailctl::kMsgMailboxUpdate, WPARAM(handle),
                    LPARAM(MAKELONG(WORD(type), WORD(number))));
}

// Dispatches the thread's posted messages until done() holds or ms pass.
template <typename Done>
bool PumpUntil(Done done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    plat::MSG m;
    while (plat::PeekMessage(&m, nullptr, 0, 0, plat::PM_REMOVE)) plat::DispatchMessage(&m);
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    plat::WaitForEventsOrMessages(nullptr, 0, 10);
  }
}

// The text of a retrieved block (freed).
inline std::string TakeBlock(plat::HGLOBAL block, uint32_t length) {
  if (!block) return "";
  std::string text(static_cast<const char*>(plat::GlobalLock(block)), length);
  plat::GlobalUnlock(block);
  plat::GlobalFree(block);
  return text;
}

// Every mailbox of the list, in the library's order, with its attributes.
inline std::vector<std::pair<std::string, uint32_t>> ListMailboxes(LibHandle h) {
  std::vector<std::pair<std::string, uint32_t>> out;
  char name[256];
  uint32_t attributes = 0;
  for (int32_t n = ImapGetFirstMailbox(h, name, &attributes); n > 0; n = ImapGetNextMailbox(h, name, &attributes))
    out.emplace_back(name, attributes);
  return out;
}

inline std::string Retrieve(LibHandle h, uint32_t message, uint32_t flags = 0) {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  if (ImapRetrieveMessage(h, message, &block, &length, flags) != 0) return "<error>";
  return TakeBlock(block, length);
}

}  // namespace imaptest
