// Sending against a scripted server: the envelope's parameters, the data's line ends and
// dot-stuffing, refusals at each stage, a server that never answers the end of data,
// message sources, cancel (with its reconnect), events and the transfer status.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "peers/peer.h"
#include "platform/clipboard/clipboard.h"
#include "platform/msg/window.h"
#include "smtp_test_support.h"

using namespace smtptest;
using cvtest::ScriptServer;
using namespace std::chrono_literals;

namespace {

// A Call step that reads the data lines (CR LF removed) up to the end line.
std::function<void(ScriptServer&)> CollectData(std::shared_ptr<std::vector<std::string>> lines) {
  return [lines](ScriptServer& s) {
    std::string line;
    while (s.ReadLine(line, 5s) && line != ".") lines->push_back(line);
  };
}

ScriptServer& Envelope(ScriptServer& server, const std::string& mail, const std::vector<std::string>& rcpts) {
  server.Expect("RSET").Reply("250 reset").Expect(mail).Reply("250 sender ok");
  for (const std::string& r : rcpts) server.Expect(r).Reply("250 rcpt ok");
  return server;
}

class SmtpSend : public SmtpTest {};

TEST_F(SmtpSend, DataLineEndsAndDotStuffing) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  } cases[] = {
      {"word\n.\nword", {"word", "..", "word"}},
      {".starts", {"..starts"}},
      {"a\rb\r\nc\n\nd", {"a", "b", "c", "", "d"}},
      {"x\r\r\n.y\r\n", {"x", "", "..y"}},
      {"8-bit \xc3\xa9t\xc3\xa9\n", {"8-bit \xc3\xa9t\xc3\xa9"}},
  };
  for (const Case& c : cases) {
    auto lines = std::make_shared<std::vector<std::string>>();
    ScriptServer server;
    Envelope(Greet(server), "MAIL FROM:<a@x.test> SIZE=" + std::to_string(std::strlen(c.text)), {"RCPT TO:<b@y.test>"})
        .Expect("DATA")
        .Reply("354 go")
        .Call(CollectData(lines))
        .Reply("250 queued")
        .Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", c.text, 0, kSmtpSourceText), 0)
        << std::hex << SmtpGetLastError();
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
    EXPECT_EQ(*lines, c.lines) << c.text;
  }
}

// NOTIFY and ORCPT on each RCPT, RET on MAIL FROM, only when the server announced DSN.
TEST_F(SmtpSend, DeliveryStatusParameters) {
  struct Case {
    uint32_t options;
    std::vector<std::string> extensions;
    std::string mail;
    std::vector<std::string> rcpts;
  } cases[] = {
      {2 | 4 | 16,
       {"DSN"},
       "MAIL FROM:<a@x.test> RET=HDRS",
       {"RCPT TO:<b@y.test> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;b@y.test",
        "RCPT TO:<c+d@y.test> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;c+2Bd@y.test"}},
      {1 , {"DSN"}, "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test> NOTIFY=NEVER", "RCPT TO:<c+d@y.test> NOTIFY=NEVER"}},
      {8 | 16 | 32, {"DSN", "SIZE"}, "MAIL FROM:<a@x.test> SIZE=4 RET=FULL",
       {"RCPT TO:<b@y.test> NOTIFY=DELAY ORCPT=rfc822;b@y.test",
        "RCPT TO:<c+d@y.test> NOTIFY=DELAY ORCPT=rfc822;c+2Bd@y.test"}},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    Envelope(Greet(server, c.extensions), c.mail, c.rcpts).Expect("DATA").Reply("354 go").Expect("body").Expect(".")
        .Reply("250 ok").Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSetDsnOptions(h, c.options), 1);
    // A display name holding a comma inside quotes does not cut the list.
    EXPECT_EQ(SmtpSendMessage(h, "A <a@x.test>", "\"Bee, B\" <b@y.test>; c+d@y.test", "body", 4, kSmtpSourceMemory), 0)
        << std::hex << SmtpGetLastError();
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
}

TEST_F(SmtpSend, DsnOptionRules) {
  ScriptServer server;
  Greet(server, {"SIZE 10"}).Expect("RSET").Reply("250 ok").Expect("MAIL FROM:<> SIZE=2").Reply("250 ok")
      .Expect("RCPT TO:<b@y.test>").Reply("250 ok").Expect("DATA").Reply("354 go").Expect("hi").Expect(".")
      .Reply("250 ok").Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpSetDsnOptions(h, 2), 0);
  EXPECT_EQ(SmtpGetLastError(), 0x80042FBCu);
  // A null sender; no DSN parameters on a server without DSN.
  EXPECT_EQ(SmtpSendMessage(h, "<>", "b@y.test", "hi", 0, kSmtpSourceText), 0) << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();

  ScriptServer dsn;
  Greet(dsn, {"DSN"}).Expect("QUIT");
  const LibHandle h2 = Connect(dsn);
  ASSERT_NE(h2, kInvalidLibHandle);
  EXPECT_EQ(SmtpSetDsnOptions(h2, 1 | 4), 0);
  EXPECT_EQ(SmtpGetLastError(), 0x8004273Du);
  SmtpDisconnect(h2);
  EXPECT_TRUE(dsn.Finish()) << dsn.failure();
}

// Refusals at each stage arrive through the reply table; a refused recipient among others
// is skipped.
TEST_F(SmtpSend, Refusals) {
  {
    ScriptServer server;
    Greet(server, {}).Expect("RSET").Reply("250 ok").Expect("MAIL FROM:<a@x.test>").Reply("550 no such sender")
        .Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", "hi", 0, kSmtpSourceText), -1);
    EXPECT_EQ(SmtpGetLastError(), 0x80043010u);
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
  {
    ScriptServer server;
    Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {})
        .Expect("RCPT TO:<b@y.test>").Reply("550 unknown")
        .Expect("RCPT TO:<c@y.test>").Reply("551 not local")
        .Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test,c@y.test", "hi", 0, kSmtpSourceText), -1);
    EXPECT_EQ(SmtpGetLastError(), 0x80043008u);
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
  {
    auto lines = std::make_shared<std::vector<std::string>>();
    ScriptServer server;
    Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {})
        .Expect("RCPT TO:<b@y.test>").Reply("450 try later")
        .Expect("RCPT TO:<c@y.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go").Call(CollectData(lines)).Reply("552 too big")
        .Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test;c@y.test", "hi", 0, kSmtpSourceText), -1);
    EXPECT_EQ(SmtpGetLastError(), 0x80042FE9u);
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
  {
    ScriptServer server;
    Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("554 no data")
        .Expect("QUIT");
    const LibHandle h = Connect(server);
    ASSERT_NE(h, kInvalidLibHandle);
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", "hi", 0, kSmtpSourceText), -1);
    EXPECT_EQ(SmtpGetLastError(), 0x80042FAEu);
    SmtpDisconnect(h);
    EXPECT_TRUE(server.Finish()) << server.failure();
  }
}

// The server takes the data and never answers its end: the wait runs out, event 16 is
// fired, and the disconnect sends nothing more.
TEST_F(SmtpSend, NoAnswerToEndOfData) {
  auto lines = std::make_shared<std::vector<std::string>>();
  ScriptServer server;
  Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Call(CollectData(lines)).Sleep(2500ms);
  const LibHandle h = Connect(server, kSmtpOptionExtended, 1);
  ASSERT_NE(h, kInvalidLibHandle);
  EventLog log;
  log.Attach(h);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", "hi", 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x8004274Cu);
  EXPECT_EQ(log.Count(cvmail::kMailEventTimeout), 1u);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(server.received().back(), "DATA");
}

TEST_F(SmtpSend, MessageSources) {
  cvpeers::TempDir dir;
  const std::filesystem::path file = dir.Write("message.txt", "from a file\n");
  dir.Write("empty.txt", "");
  std::filesystem::create_directory(dir.path() / "folder");
  struct Failure {
    const void* message;
    uint16_t source;
    uint32_t error;
  };
  const std::string missing = (dir.path() / "missing.txt").string(), empty = (dir.path() / "empty.txt").string(),
                    folder = (dir.path() / "folder").string();
  const Failure failures[] = {
      {nullptr, kSmtpSourceText, 0x8004271Eu},         {"", kSmtpSourceFile, 0x80042718u},
      {missing.c_str(), kSmtpSourceFile, 0x80042712u}, {folder.c_str(), kSmtpSourceFile, 0x80042715u},
      {empty.c_str(), kSmtpSourceFile, 0x80042721u},   {nullptr, kSmtpSourceGlobal, 0x8004271Eu},
      {"x", 9, 0x8004271Eu},
  };
  plat::OpenClipboard(nullptr);
  plat::EmptyClipboard();
  plat::CloseClipboard();

  auto lines = std::make_shared<std::vector<std::string>>();
  ScriptServer server;
  Greet(server, {});
  for (int i = 0; i < 3; ++i)
    Envelope(server, "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
        .Call(CollectData(lines)).Reply("250 ok");
  server.Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  for (const Failure& f : failures) {
    EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", f.message, 0, f.source), -1);
    EXPECT_EQ(SmtpGetLastError(), f.error) << f.source;
  }
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", nullptr, 0, kSmtpSourceClipboard), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042720u);

  const std::string path = file.string();
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", path.c_str(), 0, kSmtpSourceFile), 0);
  plat::HGLOBAL block = plat::GlobalAlloc(plat::GHND, 32);
  std::strcpy(static_cast<char*>(plat::GlobalLock(block)), "from a block");
  plat::GlobalUnlock(block);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", block, 6, kSmtpSourceGlobal), 0);
  plat::GlobalFree(block);
  ASSERT_TRUE(plat::OpenClipboard(nullptr));
  plat::HGLOBAL clip = plat::GlobalAlloc(plat::GHND, 32);
  std::strcpy(static_cast<char*>(plat::GlobalLock(clip)), "from the clipboard");
  plat::GlobalUnlock(clip);
  plat::SetClipboardData(plat::CF_TEXT, clip);
  plat::CloseClipboard();
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", nullptr, 0, kSmtpSourceClipboard), 0);
  plat::OpenClipboard(nullptr);
  plat::EmptyClipboard();
  plat::CloseClipboard();
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(*lines, (std::vector<std::string>{"from a file", "from a", "from the clipboard"}));
}

// A cancel during the data opens the connection again (the server drops the half message)
// and the session can send the next one.
TEST_F(SmtpSend, CancelReconnects) {
  const std::string big(20000, 'z');
  auto lines = std::make_shared<std::vector<std::string>>();
  ScriptServer server;
  Greet(server, {});
  Envelope(server, "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Call([](ScriptServer& s) {  // the half message, until the client closes
        std::string line;
        while (s.ReadLine(line, 5s)) {
        }
      })
      .Accept()
      .Reply("220 again")
      .Expect("EHLO client.test").Reply("250 hi")
      .Expect("RSET").Reply("250 reset");
  Envelope(server, "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Call(CollectData(lines)).Reply("250 ok").Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EventLog log;
  log.Attach(h);
  SmtpSetEventCallback(
      h, 128, [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { return SmtpCancel(handle); }, 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", big.c_str(), 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042714u);
  EXPECT_EQ(log.Count(cvmail::kMailEventCancel), 1u);
  SmtpSetEventCallback(h, cvmail::kMailEventProgress, nullptr, 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", "second", 0, kSmtpSourceText), 0)
      << std::hex << SmtpGetLastError();
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
  EXPECT_EQ(*lines, std::vector<std::string>{"second"});
}

// The receiver of a progress event may disconnect: the transfer stops, nothing is freed
// under it, and the half message is not ended.
TEST_F(SmtpSend, DisconnectFromProgressEvent) {
  const std::string big(20000, 'z');
  ScriptServer server;
  Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Sleep(300ms);
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  SmtpSetEventCallback(
      h, 128, [](LibHandle handle, uint32_t, uint32_t, uintptr_t) { return SmtpDisconnect(handle); }, 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", big.c_str(), 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042736u);
  EXPECT_EQ(SmtpDisconnect(h), -1);
  server.Finish();
  for (const std::string& line : server.received()) EXPECT_NE(line, ".");
}

// Registered as the control does (timeout, cancel, progress): no command events; progress
// after each 4 KB piece; the transfer status counts the input bytes.
TEST_F(SmtpSend, EventsAndTransferStatus) {
  struct Host {
    static LRESULT Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
      if (m == mailctl::kMsgSmtpNotify) {
        Host* self = reinterpret_cast<Host*>(plat::GetWindowLongPtr(w, plat::GWLP_USERDATA));
        self->events.push_back(uint32_t(lp) & 0xFFFF);
        SmtpTransferStatus st{};
        SmtpGetTransferStatus(LibHandle(wp), &st);
        self->statuses.push_back(st);
      }
      return plat::DefWindowProc(w, m, wp, lp);
    }
    std::vector<uint32_t> events;
    std::vector<SmtpTransferStatus> statuses;
  } host;
  plat::WNDCLASS wc{};
  wc.lpfnWndProc = &Host::Proc;
  wc.lpszClassName = "SmtpSendTestHost";
  plat::RegisterClass(&wc);
  HWND window = plat::CreateWindowEx(0, "SmtpSendTestHost", "", 0, 0, 0, 0, 0, plat::HWND_MESSAGE, nullptr, nullptr,
                                     nullptr);
  ASSERT_NE(window, nullptr);
  plat::SetWindowLongPtr(window, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(&host));

  const std::string text(10000, 'q');
  auto lines = std::make_shared<std::vector<std::string>>();
  ScriptServer server;
  Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Call(CollectData(lines)).Reply("250 ok").Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  ASSERT_EQ(SmtpRegisterEvents(h, window, mailctl::kMsgSmtpNotify, kTimeoutCancelProgress), 0);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", "b@y.test", text.c_str(), 0, kSmtpSourceText), 0);
  EXPECT_EQ(host.events, (std::vector<uint32_t>{128, 128, 128}));
  ASSERT_EQ(host.statuses.size(), 3u);
  EXPECT_EQ(host.statuses[0].copied, 4096u);
  EXPECT_EQ(host.statuses[2].copied, 10000u);
  EXPECT_EQ(host.statuses[2].total, 10000u);
  // Read within the first second: no rate and no estimate yet.
  EXPECT_EQ(host.statuses[0].rate, 0u);
  EXPECT_EQ(host.statuses[0].left, 0u);
  EXPECT_EQ(SmtpGetTransferStatus(h, nullptr), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x8004271Eu);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
  SmtpTransferStatus st{};
  EXPECT_EQ(SmtpGetTransferStatus(h, &st), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x80042736u);
  plat::DestroyWindow(window);
}

}  // namespace

namespace {

// An entry longer than an address field is judged by its bare address: a long display
// name is fine, an address too long for the envelope is skipped like an unparsable one.
TEST_F(SmtpSend, LongRecipientEntries) {
  const std::string list = "\"" + std::string(200, 'N') + "\" <b@y.test>, " + std::string(130, 'l') +
                           "@y.test, not an address";
  ScriptServer server;
  Envelope(Greet(server, {}), "MAIL FROM:<a@x.test>", {"RCPT TO:<b@y.test>"}).Expect("DATA").Reply("354 go")
      .Expect("hi").Expect(".").Reply("250 ok").Expect("QUIT");
  const LibHandle h = Connect(server);
  ASSERT_NE(h, kInvalidLibHandle);
  EXPECT_EQ(SmtpSendMessage(h, "a@x.test", list.c_str(), "hi", 0, kSmtpSourceText), 0) << std::hex << SmtpGetLastError();
  // A sender address over 120 characters is refused.
  const std::string sender = std::string(121, 's') + "@x.test";
  EXPECT_EQ(SmtpSendMessage(h, sender.c_str(), "b@y.test", "hi", 0, kSmtpSourceText), -1);
  EXPECT_EQ(SmtpGetLastError(), 0x8004271Eu);
  SmtpDisconnect(h);
  EXPECT_TRUE(server.Finish()) << server.failure();
}

}  // namespace
