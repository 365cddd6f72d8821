// Background tasks against nginx: parallel downloads with progress, an upload from a
// copied session, credentials from the URL, aborting running and suspended transfers, the
// live and final status, and the library's end while tasks run.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "extra_fixture.h"
#include "platform/base/thread.h"

namespace httpextra {
namespace {

struct Events {
  std::mutex m;
  std::map<uint32_t, uint32_t> count;  // event -> times
  std::vector<uint32_t> endErrors;
  std::atomic<int32_t> afterDetach{0};
  std::atomic<bool> detached{false};
  static int32_t Callback(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    auto* e = reinterpret_cast<Events*>(parameter);
    if (e->detached.load()) e->afterDetach.fetch_add(1);
    std::lock_guard lk(e->m);
    ++e->count[event];
    if (event == 2) e->endErrors.push_back(error & 0xFFFF);
    return 0;
  }
  uint32_t Count(uint32_t event) {
    std::lock_guard lk(m);
    return count[event];
  }
};

class TaskPeer : public Extra {
 protected:
  void SetUp() override {
    Extra::SetUp();
    nginx_ = std::make_unique<cvpeers::PeerProcess>(NginxOptions());
    CV_START_PEER(*nginx_);
    www_ = nginx_->dir() / "www";
    local_ = nginx_->dir() / "local";
    std::filesystem::create_directories(local_);
    std::filesystem::create_directories(www_ / "dav");
  }
  std::string Url(const std::string& path) const {
    return "http://" + nginx_->address() + ":" + std::to_string(nginx_->port()) + path;
  }
  LibHandle Open(uint32_t options = 0x2) {
    const LibHandle h = HttpConnect(nginx_->address().c_str(), nginx_->port(), 10, options, kVersion11, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << Error();
    return h;
  }
  static uint32_t WaitResult(uint32_t id) {
    uint32_t elapsed = 0, result = 0;
    EXPECT_EQ(HttpTaskWait(id, 60000, &elapsed, &result), 1);
    return result & 0xFFFF;
  }
  bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  }

  std::unique_ptr<cvpeers::PeerProcess> nginx_;
  std::filesystem::path www_, local_;
};

TEST_F(TaskPeer, ParallelDownloadsFromASessionAndFromUrlsReportProgressAndFinish) {
  std::vector<std::string> contents;
  for (int i = 0; i < 4; ++i) {
    contents.push_back(Pattern((1u << 20) + 977u * i) + std::to_string(i));
    WriteFile(www_ / ("f" + std::to_string(i) + ".bin"), contents.back());
  }
  const LibHandle h = Open();
  Events events;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 4; ++i) {
    const std::string local = (local_ / ("f" + std::to_string(i))).string();
    // Half copy the session (a path), half stand alone (a URL, HTTP/0.9 without a session).
    const std::string resource = "/f" + std::to_string(i) + ".bin";
    const uint32_t id = i % 2 ? HttpAsyncGetFile(h, local.c_str(), resource.c_str(), 0, &Events::Callback,
                                                 reinterpret_cast<uintptr_t>(&events))
                              : HttpAsyncGetFile(kInvalidLibHandle, local.c_str(), Url(resource).c_str(), 0,
                                                 &Events::Callback, reinterpret_cast<uintptr_t>(&events));
    ASSERT_NE(id, 0u) << Error();
    ids.push_back(id);
  }
  ASSERT_EQ(HttpTaskWaitAll(ids.data(), int32_t(ids.size()), 60000), 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(WaitResult(ids[i]), 0u) << i;
    EXPECT_EQ(ReadFile(local_ / ("f" + std::to_string(i))), contents[i]) << i;
    uint32_t status[5];
    ASSERT_EQ(HttpGetTaskStatus(ids[i], status), 4);
    EXPECT_EQ(status[1], contents[i].size());
    EXPECT_EQ(status[0], contents[i].size());
  }
  EXPECT_EQ(events.Count(1), 4u);
  EXPECT_EQ(events.Count(2), 4u);
  EXPECT_GE(events.Count(128), 4u);
  EXPECT_EQ(HttpTaskListRunning(nullptr), 0u);
  // The caller's own session is untouched by its tasks.
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  WriteFile(www_ / "s.txt", "still here");
  EXPECT_EQ(HttpRetrieveData(h, "/s.txt", &block, &length, 0), 200);
  EXPECT_EQ(BlockText(block, length), "still here");
}

TEST_F(TaskPeer, UploadFromACopiedSessionAndCredentialsFromTheUrl) {
  const std::string data = Pattern(300000);
  WriteFile(local_ / "up.bin", data);
  const LibHandle h = Open();
  ASSERT_EQ(HttpSetAuthentication(h, 1, "session", "secret"), 0);
  const uint32_t put = HttpAsyncPutFile(h, (local_ / "up.bin").c_str(), "/dav/up.bin", 0, nullptr, 0);
  ASSERT_NE(put, 0u) << Error();
  EXPECT_EQ(WaitResult(put), 0u);
  EXPECT_EQ(ReadFile(www_ / "dav" / "up.bin"), data);

  // The URL's credentials are sent; the copied session's are not.
  auto authorizationSeen = [&](const std::string& resource) {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    HttpTaskRequest* q = HttpNewTaskRequest();
    q->opcode = kHttpTaskGetData;
    q->session = h;
    q->data = &block;
    q->length = &length;
    std::snprintf(q->firstName, sizeof q->firstName, "%s", resource.c_str());
    const uint32_t id = HttpStartTask(q);
    EXPECT_EQ(WaitResult(id), 0u);
    return BlockText(block, length);
  };
  const std::string withUser = Url("/auth");
  EXPECT_EQ(authorizationSeen(withUser.substr(0, 7) + "user:pw@" + withUser.substr(7)), "Basic dXNlcjpwdw==");
  EXPECT_EQ(authorizationSeen("/auth"), "");
}

TEST_F(TaskPeer, AbortingRunningAndSuspendedDownloadsEndsThemWithCancel) {
  WriteFile(www_ / "slow" / "big.bin", Pattern(8u << 20));
  const LibHandle h = Open();
  Events events;
  const uint32_t running = HttpAsyncGetFile(h, (local_ / "a").c_str(), "/slow/big.bin", 0, &Events::Callback,
                                            reinterpret_cast<uintptr_t>(&events));
  ASSERT_NE(running, 0u);
  ASSERT_TRUE(WaitUntil([&] { return events.Count(128) > 0; }));
  // While it runs, the live status reads the session's figures.
  uint32_t status[5] = {};
  EXPECT_EQ(HttpGetTaskStatus(running, status), 1);
  EXPECT_EQ(status[0], 8u << 20);
  EXPECT_GT(status[1], 0u);
  EXPECT_LT(status[1], 8u << 20);
  EXPECT_EQ(HttpTaskGetError(running), 0x8004306Fu);
  EXPECT_GE(HttpTaskAbort(running), 0);
  EXPECT_EQ(WaitResult(running), 10004u);

  Events second;
  const uint32_t suspended = HttpAsyncGetFile(h, (local_ / "b").c_str(), "/slow/big.bin", 0, &Events::Callback,
                                              reinterpret_cast<uintptr_t>(&second));
  ASSERT_TRUE(WaitUntil([&] { return second.Count(128) > 0; }));
  ASSERT_EQ(HttpTaskSuspend(suspended), 1);
  EXPECT_EQ(HttpGetTaskStatus(suspended, nullptr), 2);
  EXPECT_EQ(HttpTaskGetError(suspended), 0x80043071u);
  HttpTaskAbort(suspended);
  EXPECT_EQ(WaitResult(suspended), 10004u);
  std::lock_guard lk(second.m);
  EXPECT_EQ(second.endErrors, std::vector<uint32_t>{10004u});
}

TEST_F(TaskPeer, TheLastDetachEndsRunningTasksWithoutFurtherCallbacks) {
  WriteFile(www_ / "slow" / "big.bin", Pattern(8u << 20));
  const LibHandle h = Open();
  Events events;
  for (int i = 0; i < 3; ++i)
    ASSERT_NE(HttpAsyncGetFile(h, (local_ / ("d" + std::to_string(i))).c_str(), "/slow/big.bin", 0,
                               &Events::Callback, reinterpret_cast<uintptr_t>(&events)),
              0u);
  ASSERT_TRUE(WaitUntil([&] { return events.Count(128) >= 3; }));
  events.detached.store(true);
  // The detach may meet a callback already under way; none starts after it returned.
  HttpDetach();
  const int32_t atReturn = events.afterDetach.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(HttpIsInitialized(), 0u);
  EXPECT_EQ(events.afterDetach.load(), atReturn);
  EXPECT_EQ(events.Count(2), 0u);
}

}  // namespace
}  // namespace httpextra
