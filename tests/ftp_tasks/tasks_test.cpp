// Background tasks against a scripted server: an abort while the worker still waits for
// its greeting ends it at once with 10004.
#include <gtest/gtest.h>

#include <chrono>

#include "core/errors/error_codes.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "support/script_server.h"

namespace ftptasks {
namespace {

using namespace std::chrono_literals;

int32_t Ignore(LibHandle, uint32_t, uint32_t, uintptr_t) { return 0; }

TEST(TaskConnect, AbortWhileTheWorkerConnects) {
  ASSERT_EQ(FtpAttach(nullptr), 1);
  cvtest::ScriptServer server;
  // The caller's session gets its greeting; the worker's connection hears nothing.
  server.Reply("220 ready").Accept().Sleep(3000ms);
  server.Start();
  LibHandle h =
      FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, 20, cvftp::kOptNoServerQueries, nullptr);
  ASSERT_NE(h, kInvalidLibHandle) << FtpGetLastError();
  const uint32_t id = FtpStartGetTask(h, "/nonexistent/local", "remote", 0, 0, &Ignore, 0);
  ASSERT_NE(id, 0u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FtpTaskAbort(id, 2000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  uint32_t result = 0;
  EXPECT_EQ(cvftp::TaskWait(id, 0, nullptr, &result), 1);
  EXPECT_EQ(cvcore::ErrorNumber(result), cvcore::ErrorNumber(cvErrorOperationCanceled));
  FtpFreeSession(h);
  FtpDetach();
}

}  // namespace
}  // namespace ftptasks
