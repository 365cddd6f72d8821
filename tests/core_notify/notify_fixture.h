#pragma once
// Every test starts with the test library attached and leaves it detached.
#include <gtest/gtest.h>

#include "host_window.h"

namespace fake {

class Notify : public ::testing::Test {
 protected:
  using E = Engine<0>;
  void SetUp() override {
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    ASSERT_EQ(Lib().Attach(&info), 1);
  }
  void TearDown() override {
    while (Lib().IsInitialized() > 0) Lib().Detach();
  }
  static Frame<0>& Lib() { return Library<0>(); }
  static LibHandle NewSession() {
    const LibHandle h = Lib().AllocSession();
    EXPECT_NE(h, kInvalidLibHandle);
    return h;
  }
  static Session& S(LibHandle h) { return *Lib().FindSession(h); }

  // Attaches the session to window as if its data socket `socket` had been selected
  // there, without a real selection (for tests that post the socket messages themselves).
  static void FakeSelected(LibHandle h, HWND window, SOCKET socket) {
    S(h).dataSocket = socket;
    ASSERT_EQ(E::AttachWindow(h, window), 1);
    S(h).notify.socketMessage = cvcore::kNotifySocketMessage;
  }
  static void PostSocketEvent(HWND window, SOCKET socket, int32_t event, uint32_t error = 0) {
    ASSERT_TRUE(plat::PostMessage(window, cvcore::kNotifySocketMessage, WPARAM(socket),
                                  plat::WSAMakeSelectReply(uint32_t(event), error)));
  }
};

}  // namespace fake
