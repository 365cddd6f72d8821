// An FTP server session (login, directory commands, a listing, a download and an upload)
// with each platform heap and C++ allocation of the session's thread failing in turn. The
// owner event of the connect arms the failure on that thread; the server must answer or
// close, leave no block behind, and serve the next client.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "each_allocation.h"
#include "ftpsrv/ftpsrv_util.h"

namespace allocfail {
namespace {

namespace t = plat::testing;
using ftpsrvtest::Control;

// What the session thread reports; the owner event allocates nothing of its own.
struct Armed {
  std::atomic<uint64_t> failing{0};
  std::atomic<bool> ended{false};
  std::atomic<bool> reached{false};
  std::atomic<uint64_t> count{0};
};

int32_t OnEvent(uint64_t, uint32_t, uint16_t event, uint16_t, uint64_t context) {
  auto* armed = reinterpret_cast<Armed*>(context);
  if (event == ftpEventConnect) {
    t::FailAllocation(armed->failing.load());
    CountNewOnThisThread(true);
  } else if (event == ftpEventDisconnect) {
    CountNewOnThisThread(false);
    armed->reached = t::AllocationFailed();
    armed->count = t::AllocationCount();
    t::FailAllocation(0);
    armed->ended = true;
  }
  return 0;
}

void Timeouts(int fd) {
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A data command over a passive connection; the final reply's code (0 when the session
// ended or refused early).
int Data(Control& c, const std::string& command, const std::string* upload) {
  const int d = c.Passive();
  if (d < 0) return 0;
  Timeouts(d);
  c.Send(command);
  int code = c.Reply();
  if (code == 150) {
    if (upload) ftpsrvtest::SendAll(d, *upload);
    if (!upload) ftpsrvtest::RecvAll(d);
  }
  ::close(d);
  if (code == 150) code = c.Reply();
  return code;
}

// One client's session; true when every command succeeded.
bool Session(uint32_t port) {
  Control c;
  if (!c.Connect(port)) return false;
  Timeouts(c.fd());
  const std::string upload(5000, 'u');
  return c.Reply() == 220 && c.Login("alice", "secret") && c.Cmd("PWD") == 257 && c.Cmd("CWD pub") == 250 &&
         c.Cmd("TYPE A") == 200 && Data(c, "LIST", nullptr) == 226 && c.Cmd("TYPE I") == 200 &&
         Data(c, "RETR one.txt", nullptr) == 226 && Data(c, "STOR up.bin", &upload) == 226 && c.Cmd("QUIT") == 221;
}

class FtpServerAllocations : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FtpServerAttach(nullptr, nullptr), 1); }
  void TearDown() override {
    if (server_ != uint64_t(INVALID_SOCKET)) FtpServerStop(server_);
    FtpServerDetach();
  }
  uint64_t server_ = uint64_t(INVALID_SOCKET);
};

TEST_F(FtpServerAllocations, LoginListDownloadAndUpload) {
  cvpeers::TempDir tmp;
  const auto root = tmp.path() / "root";
  std::filesystem::create_directories(root / "pub");
  ftpsrvtest::WriteFile(root / "pub" / "one.txt", std::string(3000, 'x'));
  const std::string rootText = root.string();
  FtpServerConfig config{};
  config.size = sizeof config;
  config.rootDirectory = rootText.c_str();
  config.authTime = 300;
  Armed armed;
  uint32_t port = 0;
  for (int attempt = 0; attempt < 5 && server_ == uint64_t(INVALID_SOCKET); ++attempt) {
    port = cvpeers::FreePort();
    server_ = FtpServerStart("127.0.0.1", port, 0, &config, OnEvent, reinterpret_cast<uint64_t>(&armed), nullptr);
  }
  ASSERT_NE(server_, uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server_, ftpAccessAll, "alice", "secret", nullptr), 1);

  // Runs one session with allocation n of its thread failing (0: none); whether that
  // allocation was reached.
  const auto run = [&](uint64_t n, bool* whole) {
    armed.failing = n;
    armed.ended = false;
    const bool ok = Session(port);
    if (whole) *whole = ok;
    EXPECT_TRUE(ftpsrvtest::Eventually([&] { return armed.ended.load(); })) << "allocation " << n;
    return armed.reached.load();
  };
  bool whole = false;
  run(0, &whole);  // the first session grows what the server keeps
  ASSERT_TRUE(whole);
  std::filesystem::remove(root / "pub" / "up.bin");
  const size_t live = t::LiveBlocks();
  uint64_t n = 1;
  for (; n <= kMaxAllocations; ++n) {
    if (!run(n, nullptr)) break;
    std::filesystem::remove(root / "pub" / "up.bin");
    // The session's thread frees its last blocks after its disconnect event.
    EXPECT_TRUE(ftpsrvtest::Eventually([&] { return t::LiveBlocks() == live; }))
        << "allocation " << n << " of " << armed.count.load() << " left " << t::LiveBlocks() - live << " blocks";
  }
  EXPECT_LE(n, kMaxAllocations);
  EXPECT_GT(n, 10u);
  // The server outlives every failure.
  run(0, &whole);
  EXPECT_TRUE(whole);
}

}  // namespace
}  // namespace allocfail
