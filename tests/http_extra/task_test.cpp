// Background task errors that need no server: starting checks, tasks that end before they
// connect, and the task functions on ids that name no task.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "extra_fixture.h"
#include "support/script_server.h"

namespace httpextra {
namespace {

struct Events {
  std::mutex m;
  std::vector<std::pair<uint32_t, uint32_t>> seen;  // event, error
  static int32_t Callback(LibHandle, uint32_t event, uint32_t error, uintptr_t parameter) {
    auto* e = reinterpret_cast<Events*>(parameter);
    std::lock_guard lk(e->m);
    e->seen.emplace_back(event, error & 0xFFFF);
    return 0;
  }
};

using Tasks = Extra;

TEST_F(Tasks, StartingChecks) {
  EXPECT_EQ(HttpAsyncGetFile(0x7777, "local", "http://127.0.0.1/", 0, nullptr, 0), 0u);
  EXPECT_EQ(Error(), 10038u);
  EXPECT_EQ(HttpAsyncGetFile(kInvalidLibHandle, "", "http://127.0.0.1/", 0, nullptr, 0), 0u);
  EXPECT_EQ(Error(), 10008u);
  EXPECT_EQ(HttpAsyncPutFile(kInvalidLibHandle, "local", "", 0, nullptr, 0), 0u);
  EXPECT_EQ(Error(), 12271u);
}

TEST_F(Tasks, TasksThatCannotStartTheirTransferEndWithTheirError) {
  struct Case {
    uint32_t opcode;
    const char* resource;
    uint32_t error;
  };
  const Case cases[] = {
      {kHttpTaskGetFile, "not a url", 12271},       // no session to copy: a URL is needed
      {kHttpTaskGetData, "ftp://127.0.0.1/x", 12271},
      {9, "http://127.0.0.1/", 10082},              // unknown operation
      {kHttpTaskPostForm, "", 12271},               // a form that does not exist has no action
  };
  for (const Case& c : cases) {
    Events events;
    HttpTaskRequest* q = HttpNewTaskRequest();
    ASSERT_NE(q, nullptr);
    q->opcode = c.opcode;
    std::snprintf(q->firstName, sizeof q->firstName, "%s", c.opcode == kHttpTaskGetFile ? "local" : c.resource);
    std::snprintf(q->secondName, sizeof q->secondName, "%s", c.resource);
    q->eventCallback = &Events::Callback;
    q->callbackParameter = reinterpret_cast<uintptr_t>(&events);
    const uint32_t id = HttpStartTask(q);
    ASSERT_NE(id, 0u);
    uint32_t elapsed = 0, result = 0;
    ASSERT_EQ(HttpTaskWait(id, plat::INFINITE, &elapsed, &result), 1);
    EXPECT_EQ(result & 0xFFFF, c.error) << c.resource;
    EXPECT_EQ(HttpTaskIsDone(id), 1u);
    EXPECT_EQ(HttpTaskAbort(id), 0);
    EXPECT_EQ(Error(), 12402u);
    std::lock_guard lk(events.m);
    ASSERT_FALSE(events.seen.empty());
    EXPECT_EQ(events.seen.back(), std::make_pair(2u, c.error));
  }
}

// A task given nothing but a URL has what a new session has: the default timeout and
// HTTP/1.1. A name that merely ends in dots stays a name of the path.
TEST_F(Tasks, ATaskFromAUrlAloneHasTheSessionDefaults) {
  cvtest::ScriptServer server;
  auto head = std::make_shared<std::vector<std::string>>();
  server.Call([head](cvtest::ScriptServer& ss) {
    for (std::string line; ss.ReadLine(line, std::chrono::seconds(10)) && !line.empty();) head->push_back(line);
  });
  server.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  server.Start();
  struct Begin {
    std::atomic<int32_t> timeout{-2};
    static int32_t Callback(LibHandle h, uint32_t event, uint32_t, uintptr_t parameter) {
      if (event == 1) reinterpret_cast<Begin*>(parameter)->timeout = HttpGetTimeout(h);
      return 0;
    }
  } begin;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/files/v1../f.txt";
  const uint32_t id = HttpAsyncGetFile(kInvalidLibHandle, (registry_.path() / "f.txt").c_str(), url.c_str(), 0,
                                       &Begin::Callback, reinterpret_cast<uintptr_t>(&begin));
  ASSERT_NE(id, 0u) << Error();
  uint32_t elapsed = 0, result = 1;
  ASSERT_EQ(HttpTaskWait(id, 30000, &elapsed, &result), 1);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(begin.timeout.load(), 20);
  ASSERT_TRUE(server.Finish()) << server.failure();
  ASSERT_FALSE(head->empty());
  EXPECT_EQ(head->front(), "GET /files/v1../f.txt HTTP/1.1");
  EXPECT_EQ(ReadFile(registry_.path() / "f.txt"), "ok");
}

TEST_F(Tasks, UnknownIds) {
  uint32_t status[5] = {1, 1, 1, 1, 1};
  EXPECT_EQ(HttpGetTaskStatus(4242, status), -1);
  EXPECT_EQ(Error(), 12398u);
  EXPECT_EQ(status[0], 0u);
  EXPECT_EQ(HttpTaskAbort(4242), 0);
  EXPECT_EQ(Error(), 12398u);
  EXPECT_EQ(HttpTaskIsDone(4242), 0x8004306Eu);
  EXPECT_EQ(HttpTaskIdFromSession(0x1234), 0u);
}

}  // namespace
}  // namespace httpextra
