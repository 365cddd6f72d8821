// Tracing through the stand-in trace library: one line per traced call with its result,
// version check, start counting and the line limit.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/sock/binding.h"
#include "core/sock/sock.h"
#include "core/state/named_state.h"
#include "core/trace/trace.h"
#include "core/trace/trace_binding.h"
#include "platform/net/socket_api.h"
#include "platform/net/wsa_errors.h"

namespace {

class Tracing : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(kTraceLibraryVariable, CVTRACE_PATH, 1);
    dir_ = std::filesystem::temp_directory_path() / ("cvtrace-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    file_ = (dir_ / "trace.log").string();
    // Balanced by TearDown: a start-up left counted would outlive the test in the process.
    ASSERT_EQ(SockStartup(&data_), 0);
  }
  void TearDown() override {
    // Tracing left started by a failed test would leak into the next one.
    while (TraceDisable() != 0) {
    }
    SockCleanup();
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(file_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The call part of a line, after the time and thread prefix.
  static std::string Call(const std::string& line) {
    auto p = line.find("] ");
    return p == std::string::npos ? line : line.substr(p + 2);
  }

  std::filesystem::path dir_;
  std::string file_;
  plat::WSADATA data_{};
};

}  // namespace

// The socket binding and a loaded trace library stay for the process (once bound, always
// bound), so the tests that need them absent use a binding of their own and hide the
// socket binding for their length: they pass in any order and in one process.
TEST_F(Tracing, NeedsTheSocketBindingFirst) {
  std::atomic<bool>& bound = cvcore::Binding().bound;
  const bool was = bound.exchange(false);
  cvcore::TraceBinding fresh;
  EXPECT_EQ(fresh.Enable(file_.c_str(), kTraceInformation), 0);
  bound.store(was);
  EXPECT_EQ(fresh.Hook<cvtrace::WriteFn>(cvtrace::kWrite), nullptr) << "nothing loaded";
}

TEST_F(Tracing, OneLinePerTracedCallWithItsResult) {
  ASSERT_NE(TraceEnable(file_.c_str(), kTraceInformation), 0);
  SOCKET s = SockCreate(plat::kAfInet, plat::kSockStream, 0);  // its own option calls are not traced
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SockBind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  SockListen(s);
  char buf[4];
  SockRecv(INVALID_SOCKET, buf, 4, 0);
  EXPECT_EQ(SockGetLastError(), plat::WSAENOTSOCK);  // the trace library kept the call's error
  plat::FdSet set{};
  plat::FdSetAdd(s, &set);
  plat::TimeVal zero{0, 0};
  SockSelect(&set, nullptr, nullptr, &zero);  // succeeds: not traced
  SockClose(s);
  TraceDisable();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Call(lines[0]), "socket(2, 1, 0) = " + std::to_string(s));
  EXPECT_EQ(Call(lines[1]).rfind("bind(" + std::to_string(s) + ", 127.0.0.1:0, 16) = 0", 0), 0u) << lines[1];
  EXPECT_EQ(Call(lines[2]), "listen(" + std::to_string(s) + ", 2147483647) = 0");
  EXPECT_NE(Call(lines[3]).find("recv(-1, "), std::string::npos);
  EXPECT_NE(Call(lines[3]).find(" = -1 [error 10038]"), std::string::npos) << lines[3];
  EXPECT_EQ(Call(lines[4]), "closesocket(" + std::to_string(s) + ") = 0");
}

TEST_F(Tracing, AnOlderTraceLibraryIsRefused) {
  setenv(kTraceLibraryVariable, CVTRACE_OLD_PATH, 1);
  cvcore::TraceBinding older;
  EXPECT_EQ(older.Enable(file_.c_str(), kTraceInformation), 0);
  EXPECT_EQ(older.Hook<cvtrace::SocketHook>(cvtrace::kSocket), nullptr);
  EXPECT_EQ(older.WriteLine(0, "nothing"), 0);
  EXPECT_FALSE(std::filesystem::exists(file_));
  setenv(kTraceLibraryVariable, "/nonexistent/libcvtrace.so", 1);
  cvcore::TraceBinding missing;
  EXPECT_EQ(missing.Enable(file_.c_str(), kTraceInformation), 0);
}

TEST_F(Tracing, TwoEnablesAndOneDisableLeaveTracingStarted) {
  ASSERT_NE(TraceEnable(file_.c_str(), kTraceInformation), 0);
  ASSERT_NE(TraceEnable(file_.c_str(), kTraceInformation), 0);
  EXPECT_NE(TraceDisable(), 0);
  EXPECT_EQ(cvcore::Trace().starts(), 1);
  TracePrintf(0, "still on");
  EXPECT_NE(TraceDisable(), 0);
  TracePrintf(0, "now off");
  EXPECT_EQ(TraceDisable(), 0);  // nothing left to stop
  EXPECT_EQ(cvcore::Trace().starts(), 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Call(lines[0]), "still on");
}

TEST_F(Tracing, LongLinesAreCutAndDataIsDumped) {
  ASSERT_NE(TraceEnable(file_.c_str(), kTraceHexDump), 0);
  std::string longText(2000, 'z');
  EXPECT_NE(TracePrintf(kTraceHexDump, "%s", longText.c_str()), 0);
  TraceDumpData("ABC\x01", 4);
  const char* empty = "";
  EXPECT_EQ(TracePrintf(0, empty), 0);  // an empty format writes nothing
  TraceDisable();
  auto lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Call(lines[0]), std::string(1023, 'z'));
  EXPECT_EQ(Call(lines[1]), "data, 4 bytes");
  EXPECT_NE(lines[2].find("41 42 43 01"), std::string::npos);
  EXPECT_NE(lines[2].find("ABC."), std::string::npos);
}

namespace {
enum class Phase : uint32_t { Idle = 1, Busy = 2 };
constexpr cvcore::StateName<Phase> kPhaseNames[] = {{Phase::Idle, "idle"}, {Phase::Busy, "busy"}};
}  // namespace

// A state change is one trace line with both names while tracing is started; a value the
// table does not name still shows its number, and nothing is written while stopped.
TEST_F(Tracing, StateChangesAreTracedWhileStarted) {
  std::atomic<Phase> phase{Phase::Idle};
  cvcore::ChangeState(phase, Phase::Busy, kPhaseNames, "test session", 7);  // not started
  ASSERT_NE(TraceEnable(file_.c_str(), kTraceInformation), 0);
  EXPECT_EQ(cvcore::ChangeState(phase, Phase::Idle, kPhaseNames, "test session", 7), Phase::Busy);
  cvcore::ChangeState(phase, Phase::Idle, kPhaseNames, "test session", 7);  // no change, no line
  cvcore::ChangeState(phase, Phase(42), kPhaseNames, "test session", 7);
  TraceDisable();
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Call(lines[0]), "test session 7: state busy (2) -> idle (1)");
  EXPECT_EQ(Call(lines[1]), "test session 7: state idle (1) -> unnamed (42)");
  EXPECT_EQ(phase.load(), Phase(42));
}
