// Background transfers against proftpd: parallel downloads and an upload with begin,
// progress and end events, status and results; an abort in the middle of a transfer; the
// library's last detach while tasks run; errors of the task functions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "core/errors/error_codes.h"
#include "core/task/task_types.h"
#include "ftp/ftp.h"
#include "support/ftp_peers.h"

namespace ftptasks {
namespace {

using cvtest::FtpPeer;
using cvtest::FtpPeerKind;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr LibHandle kNone = kInvalidLibHandle;

// What the task callbacks saw, per task id (the parameter).
struct Events {
  std::mutex m;
  std::map<uintptr_t, std::vector<std::pair<uint32_t, uint32_t>>> seen;
  std::atomic<int> afterDetach{0};
  std::atomic<bool> detached{false};

  static int32_t Record(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    Events& e = Instance();
    if (e.detached) e.afterDetach.fetch_add(1);
    std::lock_guard lk(e.m);
    e.seen[parameter].emplace_back(event, error);
    return 0;
  }
  static Events& Instance() {
    static Events e;
    return e;
  }
  int Count(uintptr_t id, uint32_t event) {
    std::lock_guard lk(m);
    int n = 0;
    for (auto& [ev, err] : seen[id]) n += ev == event;
    return n;
  }
  uint32_t ErrorOf(uintptr_t id, uint32_t event) {
    std::lock_guard lk(m);
    for (auto& [ev, err] : seen[id])
      if (ev == event) return err;
    return 0xFFFFFFFFu;
  }
};

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char(gen());
  return s;
}

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TaskPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(FtpAttach(nullptr), 1);
    std::string pattern = (fs::temp_directory_path() / "ftptasks-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    local_ = pattern;
  }
  void TearDown() override {
    if (attached_) FtpDetach();
    std::error_code ignored;
    fs::remove_all(local_, ignored);
  }
  LibHandle Login(FtpPeer& peer) {
    LibHandle h = FtpConnect(peer.address().c_str(), peer.port(), peer.user(), peer.password(), 10, 1, nullptr);
    EXPECT_NE(h, kNone) << FtpGetLastError() << "\n" << peer.Diagnostics();
    return h;
  }
  // A large file that costs no disk: zeros the server reads from a hole.
  static void PutSparse(const FtpPeer& peer, const std::string& name, uint64_t size) {
    const fs::path p = peer.root() / name;
    std::ofstream(p, std::ios::binary).put('x');
    fs::resize_file(p, size);
    fs::permissions(p, fs::perms(0666));
  }
  static uint32_t WaitForBytes(uint32_t id) {
    cvcore::TaskStatus st{};
    for (int i = 0; i < 10000; ++i) {
      const int32_t state = FtpTaskGetStatus(id, &st);
      if (state == 4) return 0;
      if (state == 1 && st.bytesCopied > 0) return st.bytesCopied;
      std::this_thread::sleep_for(1ms);
    }
    return 0;
  }
  std::string Path(const std::string& name) const { return (local_ / name).string(); }

  fs::path local_;
  bool attached_ = true;
};

TEST_F(TaskPeer, ParallelTransfersWithProgress) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  std::vector<std::string> data;
  for (uint32_t i = 0; i < 4; ++i) {
    data.push_back(RandomBytes((3u << 20) + i * 1000, i + 1));
    peer.Put("f" + std::to_string(i) + ".bin", data.back());
  }
  const std::string upload = RandomBytes(1u << 20, 99);
  std::ofstream(Path("up.bin"), std::ios::binary) << upload;
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  // The tasks start where the session is.
  ASSERT_EQ(FtpChangeDirectory(h, peer.root().c_str()), 250) << FtpGetLastError();

  Events& ev = Events::Instance();
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 4; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    const uint32_t id = FtpStartGetTask(h, Path(name).c_str(), name.c_str(), 0, 0, &Events::Record, 0);
    ASSERT_NE(id, 0u) << FtpGetLastError();
    ids.push_back(id);
  }
  const uint32_t put = FtpStartPutTask(h, Path("up.bin").c_str(), "up.bin", 0, 0, &Events::Record, 0);
  ASSERT_NE(put, 0u);
  ids.push_back(put);
  // The caller's own session goes on meanwhile.
  EXPECT_EQ(FtpSendCommand(h, "NOOP", nullptr), 200);

  ASSERT_EQ(cvftp::TaskWaitAll(ids.data(), int32_t(ids.size()), 30000), 1);
  for (uint32_t i = 0; i < ids.size(); ++i) {
    const uint32_t id = ids[i];
    EXPECT_EQ(cvftp::TaskIsDone(id), 1u);
    EXPECT_EQ(cvftp::TaskGetError(id), 0u);
    uint32_t elapsed = 0, result = 1;
    EXPECT_EQ(cvftp::TaskWait(id, 0, &elapsed, &result), 1);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(ev.ErrorOf(id, 1), 0u);  // begin, with the connect's error
    EXPECT_EQ(ev.ErrorOf(id, 2), 0u);  // end, with the result
    EXPECT_GE(ev.Count(id, 512), 1);   // at least the final progress event
    cvcore::TaskStatus st{};
    ASSERT_EQ(FtpTaskGetStatus(id, &st), 4);
    if (id == put) {
      EXPECT_EQ(st.bytesCopied, upload.size());
      EXPECT_TRUE(Read(peer.root() / "up.bin") == upload);
    } else {
      EXPECT_EQ(st.fileSize, data[i].size());
      EXPECT_EQ(std::string(st.remoteFile), "f" + std::to_string(i) + ".bin");
      EXPECT_TRUE(Read(Path("f" + std::to_string(i) + ".bin")) == data[i]) << i;
    }
  }
  EXPECT_EQ(cvftp::TaskListRunning(nullptr), 0u);
  EXPECT_EQ(FtpTaskAbort(ids[0], 0), 0);
  EXPECT_EQ(FtpGetLastError(), cvErrorTaskFinished);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

TEST_F(TaskPeer, AbortInTheMiddleOfATransfer) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  PutSparse(peer, "big.bin", 4ull << 30);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  Events& ev = Events::Instance();
  const uint32_t id = FtpStartGetTask(h, Path("big.bin").c_str(), "big.bin", 0, 0, &Events::Record, 0);
  ASSERT_NE(id, 0u);
  ASSERT_GT(WaitForBytes(id), 0u);
  EXPECT_EQ(cvftp::TaskGetError(id), cvErrorTaskActive);
  ASSERT_EQ(FtpTaskAbort(id, 10000), 1);
  uint32_t elapsed = 0, result = 0;
  EXPECT_EQ(cvftp::TaskWait(id, 0, &elapsed, &result), 1);
  EXPECT_EQ(cvcore::ErrorNumber(result), cvcore::ErrorNumber(cvErrorOperationCanceled));
  EXPECT_EQ(cvcore::ErrorNumber(ev.ErrorOf(id, 2)), cvcore::ErrorNumber(cvErrorOperationCanceled));
  EXPECT_LT(fs::file_size(Path("big.bin")), 4ull << 30);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

// The last detach ends every task (no callback after it) and every session, the tasks'
// own included; the caller's session may already be gone.
TEST_F(TaskPeer, LastDetachWhileTasksRun) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  PutSparse(peer, "big.bin", 4ull << 30);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  Events& ev = Events::Instance();
  std::vector<uint32_t> ids;
  for (int i = 0; i < 3; ++i) {
    const std::string local = Path("big" + std::to_string(i) + ".bin");
    ids.push_back(FtpStartGetTask(h, local.c_str(), "big.bin", 0, 0, &Events::Record, 0));
    ASSERT_NE(ids.back(), 0u);
  }
  for (uint32_t id : ids) WaitForBytes(id);
  EXPECT_EQ(FtpDisconnect(h), 0);
  ev.detached = true;
  const auto start = std::chrono::steady_clock::now();
  FtpDetach();
  attached_ = false;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(ev.afterDetach.load(), 0);
  ev.detached = false;
  ASSERT_EQ(FtpAttach(nullptr), 1);
  attached_ = true;
  EXPECT_EQ(cvftp::TaskIsDone(ids[0]), cvErrorInvalidTask);  // the records went with the library
}

// A task whose caller's session is gone by the time its worker starts ends with 10082
// without events; names are required; ids that name no task.
TEST_F(TaskPeer, Errors) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  LibHandle h = Login(peer);
  ASSERT_NE(h, kNone);
  EXPECT_EQ(FtpStartGetTask(h, "", "x", 0, 0, &Events::Record, 0), 0u);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidFileName);
  EXPECT_EQ(FtpStartGetTask(kNone, "a", "x", 0, 0, &Events::Record, 0), 0u);
  EXPECT_EQ(FtpGetLastError(), cvErrorInvalidHandle);
  // A remote file that does not exist: the transfer's error is the task's result.
  const uint32_t id = FtpStartGetTask(h, Path("none.bin").c_str(), "missing.bin", 0, 0, &Events::Record, 0);
  ASSERT_NE(id, 0u);
  uint32_t result = 0;
  ASSERT_EQ(cvftp::TaskWait(id, 10000, nullptr, &result), 1);
  EXPECT_EQ(cvcore::ErrorNumber(result), cvcore::ErrorNumber(cvErrorAccessDenied));
  EXPECT_EQ(FtpTaskIdFromSession(h), 0u);
  EXPECT_EQ(cvftp::TaskIsDone(987654), cvErrorInvalidTask);
  EXPECT_EQ(cvftp::TaskGetError(987654), cvErrorInvalidTask);
  EXPECT_EQ(FtpTaskGetStatus(987654, nullptr), -1);
  EXPECT_EQ(FtpDisconnect(h), 0);
}

}  // namespace
}  // namespace ftptasks
