// The HttpServer deliverable serving curl on loopback: files and directory indexes with
// their events on the host's thread, the host answering requests itself from inside the
// events, credentials checked by the host, and stopping with a client connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "httpsrv_host.h"
#include "peers/peer.h"

namespace {

using namespace httpsrvhost;
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class HttpServing : public HttpHost {
 protected:
  void SetUp() override {
    HttpHost::SetUp();
    if (HasFatalFailure()) return;
    root_.Write("hello.txt", "hello from the server\n");
    root_.Write("docs/a.txt", "a");
    root_.Write("docs/b.txt", "bb");
    mainThread_ = std::this_thread::get_id();
  }
  void TearDown() override {
    VARIANT error{};
    Method(u"Stop", {Ref(&error)});
    HttpHost::TearDown();
  }
  bool StartServer(const char16_t* address = u"127.0.0.1", int family = AF_INET) {
    port_ = cvpeers::FreePort(family);
    VARIANT error{};
    EXPECT_EQ(Method(u"Start", {Str(address), I4(port_), Str(root_.path().u16string().c_str()), Missing(), Missing(),
                                Missing(), Ref(&error)}),
              S_OK);
    EXPECT_EQ(Show(error), "0");
    return Get(u"IsActive") == "True";
  }
  std::string Url(const std::string& path, const std::string& host = "127.0.0.1") {
    return "'http://" + host + ":" + std::to_string(port_) + path + "'";
  }
  // curl's output into out (body, or with -i the head too); its exit status.
  int Curl(const std::string& args, std::string* out) {
    const fs::path file = local_.path() / "curl.out";
    fs::remove(file);
    const int status = RunServing("curl -s -S --max-time 30 -o '" + file.string() + "' " + args);
    *out = ReadAll(file);
    return status;
  }
  std::vector<int> RequestEvents() const {
    std::vector<int> out;
    for (const Fired& f : fired)
      if (f.id == kOnCommand || f.id == kOnResult || f.id == kOnDownload || f.id == kOnAuthenticate) out.push_back(f.id);
    return out;
  }

  cvpeers::TempDir root_, local_;
  int port_ = 0;
  std::thread::id mainThread_;
};

TEST_F(HttpServing, CurlGetsAFileAndAnIndexWithEventsOnTheHostThread) {
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Ids().front(), kOnStart);
  EXPECT_EQ(Get(u"IsListening"), "True");
  EXPECT_NE(Get(u"ServerThread"), "0");
  EXPECT_EQ(Get(u"Directory"), "\"" + root_.path().string() + "\"");

  std::string body;
  ASSERT_EQ(Curl(Url("/hello.txt?x=1"), &body), 0);
  EXPECT_EQ(body, "hello from the server\n");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_EQ(RequestEvents(), (std::vector<int>{kOnCommand, kOnResult, kOnDownload}));
  const Fired* command = First(kOnCommand);
  EXPECT_EQ(command->args[1], "\"GET\"");
  EXPECT_EQ(command->args[2], "\"/hello.txt\"");
  EXPECT_EQ(command->args[3], "\"x=1\"");
  EXPECT_EQ(First(kOnResult)->args[3], "200");
  EXPECT_EQ(First(kOnDownload)->args[1], "\"" + (root_.path() / "hello.txt").string() + "\"");
  EXPECT_GE(std::stoi(First(kOnDownload)->args[2]), 22);  // the library counts what it sent
  EXPECT_EQ(First(kOnConnect)->args[1], "\"127.0.0.1\"");
  EXPECT_EQ(Ids().back(), kOnIdle);  // the last client gone

  ASSERT_EQ(Curl(Url("/docs/"), &body), 0);
  EXPECT_NE(body.find("a.txt"), std::string::npos);
  EXPECT_NE(body.find("b.txt"), std::string::npos);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 2; }));
  for (const Fired& f : fired) EXPECT_EQ(f.thread, mainThread_) << "event " << f.id;
  EXPECT_EQ(Get(u"ClientId"), "0");  // outside events

  VARIANT error{};
  ASSERT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
  EXPECT_EQ(Ids().back(), kOnStop);
  EXPECT_EQ(Get(u"IsActive"), "False");
  EXPECT_EQ(Get(u"ServerHandle"), "-1");
}

// Requests kept alive on one connection: each request's events in their order, and a
// download event that still sees its own request while the client's thread waits for it.
TEST_F(HttpServing, KeptAliveRequestsFireTheirEventsInOrder) {
  ASSERT_TRUE(StartServer());
  std::vector<std::string> linesInDownload;
  handlers[kOnDownload] = [&](const Fired&) { linesInDownload.push_back(Get(u"CommandLine")); };
  std::string body;
  // The server keeps a connection only when the request asks for it.
  ASSERT_EQ(Curl("-H 'Connection: keep-alive' " + Url("/hello.txt") + " -o /dev/null " + Url("/docs/a.txt") +
                     " -o /dev/null " + Url("/docs/b.txt"),
                 &body),
            0);
  EXPECT_EQ(body, "hello from the server\n");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_EQ(Count(kOnConnect), 1);
  EXPECT_EQ(RequestEvents(), (std::vector<int>{kOnCommand, kOnResult, kOnDownload, kOnCommand, kOnResult, kOnDownload,
                                               kOnCommand, kOnResult, kOnDownload}));
  std::vector<std::string> files;
  for (const Fired& f : fired)
    if (f.id == kOnDownload) files.push_back(f.args[1]);
  const auto quoted = [&](const char* name) { return "\"" + (root_.path() / name).string() + "\""; };
  EXPECT_EQ(files, (std::vector<std::string>{quoted("hello.txt"), quoted("docs/a.txt"), quoted("docs/b.txt")}));
  EXPECT_EQ(linesInDownload, (std::vector<std::string>{"\"GET /hello.txt HTTP/1.1\"", "\"GET /docs/a.txt HTTP/1.1\"",
                                                       "\"GET /docs/b.txt HTTP/1.1\""}));
}

// Events held back while the host froze them keep their order when they go out: the
// result and the download it was paired with, then the next client's.
TEST_F(HttpServing, FrozenRequestEventsReplayInOrder) {
  ASSERT_TRUE(StartServer());
  IOleControl* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&ole)), S_OK);
  ole->FreezeEvents(1);
  std::string body;
  ASSERT_EQ(Curl(Url("/hello.txt"), &body), 0);  // served with nobody taking its events
  EXPECT_EQ(body, "hello from the server\n");
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(Count(kOnConnect), 0);
  ole->FreezeEvents(0);
  ole->Release();
  ASSERT_EQ(Curl(Url("/docs/a.txt"), &body), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 2; }));
  std::vector<int> order;
  for (const Fired& f : fired)
    if (f.id != kOnIdle && f.id != kOnStart) order.push_back(f.id);
  EXPECT_EQ(order, (std::vector<int>{kOnConnect, kOnCommand, kOnResult, kOnDownload, kOnDisconnect, kOnConnect,
                                     kOnCommand, kOnResult, kOnDownload, kOnDisconnect}));
  EXPECT_EQ(fired.back().id, kOnIdle);
}

TEST_F(HttpServing, ServesOnIPv6Loopback) {
  if (!cvpeers::LoopbackAvailable(AF_INET6)) GTEST_SKIP() << "::1 is not available";
  ASSERT_TRUE(StartServer(u"::1", AF_INET6));
  std::string body;
  ASSERT_EQ(Curl("-g " + Url("/hello.txt", "[::1]"), &body), 0);
  EXPECT_EQ(body, "hello from the server\n");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_EQ(First(kOnConnect)->args[1], "\"::1\"");
}

TEST_F(HttpServing, HostAnswersInsideOnCommand) {
  ASSERT_TRUE(StartServer());
  std::map<std::string, std::string> seen;
  handlers[kOnCommand] = [&](const Fired& f) {
    const int id = std::stoi(f.args[0]);
    seen["client"] = Get(u"ClientId");
    seen["line"] = Get(u"CommandLine");
    seen["address"] = Get(u"ClientAddress");
    VARIANT value{}, result{}, error{};
    Method(u"GetHeader", {I4(id), Str(u"X-Probe"), Ref(&value), Ref(&result)});
    seen["header"] = Show(value) + Show(result);
    VariantClear(&value);
    Method(u"GetHeader", {I4(id), Str(u"X-Absent"), Ref(&value), Ref(&result)});
    seen["absent"] = Show(value) + Show(result);
    VariantClear(&value);
    Method(u"GetAllHeaders", {I4(id), Ref(&value), Ref(&result)});
    seen["all"] = Show(value) + Show(result);
    VariantClear(&value);
    // The request's CGI variables, and one of the host's own.
    Method(u"GetVariable", {I4(id), Str(u"HTTP_X_PROBE"), Ref(&value), Ref(&result)});
    seen["variable"] = Show(value) + Show(result);
    VariantClear(&value);
    Method(u"SetVariable", {I4(id), Str(u"HOST_NOTE"), Str(u"noted"), Ref(&result)});
    seen["setvar"] = Show(result);
    Method(u"GetVariable", {I4(id), Str(u"host_note"), Ref(&value), Ref(&result)});
    seen["hostvar"] = Show(value) + Show(result);
    VariantClear(&value);
    Method(u"GetVariable", {I4(id), Str(u"NO_SUCH_VARIABLE"), Ref(&value), Ref(&result)});
    seen["novar"] = Show(value) + Show(result);
    VariantClear(&value);
    if (f.args[2] == "\"/bytes\"") {
      // A byte array in and out: a new array of the body's size, sent back cut to 3 bytes.
      SAFEARRAY* bytes = nullptr;
      VARIANT ref{};
      ref.vt = VT_BYREF | VT_ARRAY | VT_UI1;
      ref.pparray = &bytes;
      Method(u"ReceiveRequest", {I4(id), ref, Missing(), Ref(&error)});
      LONG upper = -1;
      if (bytes) SafeArrayGetUBound(bytes, 1, &upper);
      seen["bytes"] = bytes ? std::to_string(upper + 1) : "none";
      VARIANT array{};
      array.vt = VT_ARRAY | VT_UI1;
      array.parray = bytes;
      Method(u"SendResponse", {I4(id), I4(202), array, I4(3), Ref(&error)});  // clears the array
      seen["send"] = Show(error);
      return;
    }
    if (f.args[1] == "\"POST\"") {
      Method(u"ReceiveRequest", {I4(id), Ref(&value), I4(10), Ref(&error)});
      seen["body"] = Show(value);
      VariantClear(&value);
    }
    VARIANT ok{};
    Method(u"SetHeader", {I4(id), Str(u"X-Answer"), Str(u"42"), Ref(&ok)});
    seen["set"] = Show(ok);
    Method(u"SendResponse", {I4(id), I4(200), Str(u"gr\u00fc\u00df"), Missing(), Ref(&error)});
    seen["send"] = Show(error);
  };
  std::string out;
  ASSERT_EQ(Curl("-i -H 'X-Probe: yes' " + Url("/virtual"), &out), 0);
  EXPECT_EQ(seen["client"], First(kOnCommand)->args[0]);
  EXPECT_EQ(seen["line"], "\"GET /virtual HTTP/1.1\"");
  EXPECT_EQ(seen["address"], "\"127.0.0.1\"");
  EXPECT_EQ(seen["header"], "\"yes\"True");
  EXPECT_EQ(seen["absent"], "\"\"False");
  EXPECT_NE(seen["all"].find("X-Probe: yes\r\n"), std::string::npos) << seen["all"];
  EXPECT_EQ(seen["all"].substr(seen["all"].size() - 4), "True");
  EXPECT_EQ(seen["variable"], "\"yes\"True");
  EXPECT_EQ(seen["setvar"], "True");
  EXPECT_EQ(seen["hostvar"], "\"noted\"True");
  EXPECT_EQ(seen["novar"], "\"\"False");
  EXPECT_EQ(seen["set"], "True");
  EXPECT_EQ(seen["send"], "0");
  EXPECT_NE(out.find("HTTP/1.1 200"), std::string::npos) << out;
  EXPECT_NE(out.find("Content-Length: 6\r\n"), std::string::npos) << out;  // UTF-8 bytes, not characters
  EXPECT_NE(out.find("X-Answer: 42\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 6), "gr\xc3\xbc\xc3\x9f");

  // The whole body is taken from the connection even when only its start is kept.
  const std::string posted(100, 'p');
  ASSERT_EQ(Curl("-H 'Content-Type: text/plain' --data-binary '" + posted + "' " + Url("/form"), &out), 0);
  EXPECT_EQ(seen["body"], "\"pppppppppp\"");
  EXPECT_EQ(out, "gr\xc3\xbc\xc3\x9f");

  ASSERT_EQ(Curl("-i --data-binary 'abcdef' " + Url("/bytes"), &out), 0);
  EXPECT_EQ(seen["bytes"], "6");
  EXPECT_EQ(seen["send"], "0");
  EXPECT_NE(out.find("HTTP/1.1 202"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 5), "\r\nabc");
}

TEST_F(HttpServing, HostAcceptsCredentialsInOnAuthenticate) {
  ASSERT_TRUE(StartServer());
  VARIANT error{};
  // A protected path: only authenticated clients may read it.
  ASSERT_EQ(Method(u"AddPath", {I4(0), Str(u"/docs"), Str((root_.path() / "docs").u16string().c_str()),
                                I4(0x200000 | 1), Ref(&error)}),
            S_OK);
  ASSERT_EQ(Show(error), "0");
  std::string authenticatedInCommand;
  handlers[kOnAuthenticate] = [&](const Fired& f) {
    if (f.args[2] == "\"carol\"" && f.args[3] == "\"pw\"")
      Method(u"Authenticate", {I4(std::stoi(f.args[0])), Missing(), Ref(&error)});
  };
  handlers[kOnCommand] = [&](const Fired&) { authenticatedInCommand = Get(u"IsAuthenticated"); };
  std::string out;
  ASSERT_EQ(Curl("-u carol:pw -w '%{http_code}' " + Url("/docs/a.txt") + " -o /dev/stdout", &out), 0);
  // The result event follows the response: curl may be done before it arrives.
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnResult) >= 1; }));
  EXPECT_EQ(authenticatedInCommand, "True");
  const std::vector<int> order = RequestEvents();
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0], kOnAuthenticate);
  EXPECT_EQ(order[1], kOnCommand);
  EXPECT_EQ(First(kOnResult)->args[3], "200");

  // Wrong credentials, the host stays silent and the library knows no such user.
  fired.clear();
  std::string denied;
  RunServing("curl -s -o /dev/null -w '%{http_code}' -u carol:bad " + Url("/docs/a.txt") + " > '" +
             (local_.path() / "code").string() + "'");
  EXPECT_EQ(ReadAll(local_.path() / "code"), "401");
}

TEST_F(HttpServing, RunningServerRefusesSomeSettings) {
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Put(u"NoIndex", Bool(true)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"Secure", Bool(true)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"IdleTime", I4(30)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"ServerName", Str(u"x")), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"Directory", Str(u"/tmp")), HRESULT(0x800A305C));
  EXPECT_EQ(Get(u"NoIndex"), "False");
  EXPECT_EQ(Put(u"MaxClients", I4(7)), S_OK);
  EXPECT_EQ(Put(u"Priority", I4(3)), S_OK);
  EXPECT_EQ(Get(u"Priority"), "3");
  VARIANT error{}, result{};
  EXPECT_EQ(Method(u"Suspend", {Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"IsListening"), "False");
  EXPECT_EQ(Method(u"Resume", {Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"IsListening"), "True");
  EXPECT_EQ(Method(u"Throttle", {I4(9), Missing(), Missing(), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"MaxClients"), "9");
  // Hosts: an empty name is the library's refusal, reported through OnError.
  EXPECT_EQ(Method(u"AddHost", {Str(u""), Missing(), Missing(), Ref(&result)}), S_OK);
  EXPECT_EQ(Show(result), "-1");
  ASSERT_NE(First(kOnError), nullptr);
  EXPECT_EQ(First(kOnError)->args[1], "11001");
  EXPECT_EQ(Method(u"Disconnect", {I4(0), Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "12382");
}

TEST_F(HttpServing, LogSettingsReachTheRunningServer) {
  ASSERT_TRUE(StartServer());
  const fs::path log = local_.path() / "access.log";
  // Without a file the server refuses a format, and the settings stay as they were.
  EXPECT_EQ(Put(u"LogFormat", I4(1)), HRESULT(0x800A2718));
  EXPECT_EQ(Get(u"LogLevel"), "0");
  ASSERT_EQ(Put(u"LogFile", Str(log.u16string().c_str())), S_OK);
  ASSERT_EQ(Put(u"LogFormat", I4(1)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "1");
  EXPECT_EQ(Get(u"LogLevel"), "1");
  EXPECT_EQ(Get(u"LogFile"), "\"" + log.string() + "\"");
  std::string body;
  ASSERT_EQ(Curl(Url("/hello.txt"), &body), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_NE(ReadAll(log).find("\"GET /hello.txt HTTP/1.1\" 200"), std::string::npos) << ReadAll(log);
  // An empty name turns the log off.
  ASSERT_EQ(Put(u"LogFile", Str(u"")), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "0");
  EXPECT_EQ(Get(u"LogLevel"), "0");
}

TEST_F(HttpServing, UploadAndProgramEvents) {
  ASSERT_TRUE(StartServer());
  VARIANT error{};
  ASSERT_EQ(Method(u"AddPath", {I4(0), Str(u"/"), Str(root_.path().u16string().c_str()), I4(15), Ref(&error)}), S_OK);
  ASSERT_EQ(Show(error), "0");
  const fs::path program = local_.Write("prog.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nran'\nexit 3\n",
                                        fs::perms(0755));
  ASSERT_EQ(Method(u"RegisterProgram", {I4(0), Str(u"/run"), Str(program.u16string().c_str()), Missing(), Missing(),
                                        Ref(&error)}),
            S_OK);
  ASSERT_EQ(Show(error), "0");

  const fs::path upload = local_.Write("up.txt", "uploaded");
  std::string out;
  ASSERT_EQ(Curl("-T '" + upload.string() + "' " + Url("/up.txt"), &out), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_EQ(ReadAll(root_.path() / "up.txt"), "uploaded");
  EXPECT_EQ(RequestEvents(), (std::vector<int>{kOnCommand, kOnResult}));
  EXPECT_EQ(First(kOnResult)->args[3], "201");
  ASSERT_NE(First(kOnUpload), nullptr);
  EXPECT_EQ(First(kOnUpload)->args[1], "\"" + (root_.path() / "up.txt").string() + "\"");
  EXPECT_EQ(First(kOnUpload)->args[2], "8");

  fired.clear();
  ASSERT_EQ(Curl(Url("/run?a=b"), &out), 0);
  EXPECT_EQ(out, "ran");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  const Fired* run = First(kOnExecute);
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->args[1], "\"/run\"");
  EXPECT_EQ(run->args[2], "\"a=b\"");
  EXPECT_NE(run->args[3].find("ran"), std::string::npos);
  EXPECT_EQ(run->args[4], "3");
}

TEST_F(HttpServing, RestartKeepsServing) {
  ASSERT_TRUE(StartServer());
  VARIANT error{};
  ASSERT_EQ(Method(u"Restart", {Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "0");
  EXPECT_EQ(Get(u"IsActive"), "True");
  std::string body;
  ASSERT_EQ(Curl(Url("/hello.txt"), &body), 0);
  EXPECT_EQ(body, "hello from the server\n");
}

TEST_F(HttpServing, StartWhileRunningStopsTheOldServerFirst) {
  ASSERT_TRUE(StartServer());
  fired.clear();
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Ids(), (std::vector<int>{kOnStop, kOnStart}));
}

TEST_F(HttpServing, StopWithAClientConnected) {
  ASSERT_TRUE(StartServer());
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnConnect) == 1; }));
  EXPECT_EQ(Get(u"ClientCount"), "1");
  VARIANT error{};
  EXPECT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "0");
  char c;
  EXPECT_LE(recv(s, &c, 1, 0), 0);  // the server closed the connection
  close(s);
  EXPECT_EQ(Get(u"IsActive"), "False");
  EXPECT_EQ(Ids().back(), kOnStop);
  EXPECT_EQ(Get(u"ClientCount"), "0");
}

// A host that stops the server from inside OnCommand: Stop comes back at once, with or
// without other clients connected, and the port refuses from then on.
TEST_F(HttpServing, StopInsideACommandEvent) {
  auto connectTo = [](int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  };
  for (const int others : {0, 50}) {
    SCOPED_TRACE(others);
    ASSERT_TRUE(StartServer());
    VARIANT limits{};
    ASSERT_EQ(Method(u"Throttle", {I4(0), I4(0), Missing(), Ref(&limits)}), S_OK);  // no limits
    fired.clear();
    std::vector<int> idle;
    for (int i = 0; i < others; ++i) idle.push_back(connectTo(port_));
    ASSERT_TRUE(PumpUntil([&] { return Count(kOnConnect) == others; }, 30000));
    double stopSeconds = -1;
    int refused = -1;
    handlers[kOnCommand] = [&](const Fired&) {
      const auto start = std::chrono::steady_clock::now();
      VARIANT error{};
      EXPECT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
      stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const int late = connectTo(port_);
      refused = late < 0 && errno == ECONNREFUSED;
      if (late >= 0) ::close(late);
    };
    std::string body;
    Curl(Url("/hello.txt"), &body);  // ends: the server went away under it
    handlers.erase(kOnCommand);
    EXPECT_GE(stopSeconds, 0);
    EXPECT_LT(stopSeconds, 1.0);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(Get(u"IsActive"), "False");
    EXPECT_EQ(Count(kOnStop), 1);
    for (int fd : idle) {
      char c;
      EXPECT_LE(::recv(fd, &c, 1, 0), 0);  // closed
      ::close(fd);
    }
  }
}

}  // namespace
