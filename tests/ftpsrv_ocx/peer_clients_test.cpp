// The FtpServer deliverable serving real clients (curl) and a scripted control connection
// on loopback: login, listing, upload and download, the events on the host's thread,
// events held back while frozen, the members used inside events, and stopping with
// clients connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "ftpsrv_host.h"
#include "peers/peer.h"

namespace {

using namespace ftpsrvhost;
namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A control connection driven line by line on its own thread.
class RawClient {
 public:
  bool Connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  // The next complete reply (its last line), or "" at the end of the connection.
  std::string Reply() {
    for (;;) {
      size_t eol;
      while ((eol = buffer_.find("\r\n")) != std::string::npos) {
        std::string line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 2);
        if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ') return line;
      }
      char chunk[512];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return "";
      buffer_.append(chunk, size_t(n));
    }
  }
  std::string Command(const std::string& line) {
    const std::string wire = line + "\r\n";
    if (::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) < 0) return "";
    return Reply();
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

class FtpServing : public FtpHost {
 protected:
  void SetUp() override {
    FtpHost::SetUp();
    if (HasFatalFailure()) return;
    root_.Write("hello.txt", "hello from the server\n");
    mainThread_ = std::this_thread::get_id();
  }
  void TearDown() override {
    VARIANT error{};
    Method(u"Stop", {Ref(&error)});
    FtpHost::TearDown();
  }
  // Starts on a free loopback port with the user alice; false when the start failed.
  bool StartServer(const char16_t* address = u"127.0.0.1", int family = AF_INET) {
    port_ = cvpeers::FreePort(family);
    VARIANT error{};
    EXPECT_EQ(Method(u"Start", {Str(address), I4(port_), Str(root_.path().u16string().c_str()), Missing(), Missing(),
                                Missing(), Ref(&error)}),
              S_OK);
    EXPECT_EQ(Show(error), "0");
    EXPECT_EQ(Method(u"AddUser", {Str(u"alice"), Str(u"secret"), Missing(), Missing(), Ref(&error)}), S_OK);
    EXPECT_EQ(Show(error), "0");
    return Get(u"IsActive") == "True";
  }
  std::string Url(const std::string& path, const std::string& host = "127.0.0.1") {
    return "'ftp://" + host + ":" + std::to_string(port_) + "/" + path + "'";
  }
  int Curl(const std::string& args) { return RunServing("curl -s -S --max-time 30 --user alice:secret " + args); }

  cvpeers::TempDir root_;
  int port_ = 0;
  std::thread::id mainThread_;
};

TEST_F(FtpServing, CurlListsUploadsAndDownloadsWithEventsOnTheHostThread) {
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Ids().front(), kOnStart);
  EXPECT_EQ(Get(u"IsListening"), "True");
  EXPECT_NE(Get(u"ServerThread"), "0");

  const fs::path listing = root_.path() / "listing.out";
  ASSERT_EQ(Curl(Url("") + " -o '" + listing.string() + "'"), 0);
  EXPECT_NE(ReadAll(listing).find("hello.txt"), std::string::npos);

  cvpeers::TempDir local;
  const std::string body(100000, 'x');
  const fs::path upload = local.Write("up.bin", body);
  ASSERT_EQ(Curl("-T '" + upload.string() + "' " + Url("up.bin")), 0);
  EXPECT_EQ(ReadAll(root_.path() / "up.bin"), body);
  const fs::path download = local.path() / "down.txt";
  ASSERT_EQ(Curl(Url("hello.txt") + " -o '" + download.string() + "'"), 0);
  EXPECT_EQ(ReadAll(download), "hello from the server\n");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 3; }));

  for (const Fired& f : fired) EXPECT_EQ(f.thread, mainThread_) << "event " << f.id;
  EXPECT_EQ(Count(kOnConnect), 3);
  EXPECT_EQ(First(kOnConnect)->args[1], "\"127.0.0.1\"");
  ASSERT_NE(First(kOnLogin), nullptr);
  EXPECT_EQ(First(kOnLogin)->args[1], "\"alice\"");
  ASSERT_NE(First(kOnCommand), nullptr);
  EXPECT_EQ(First(kOnCommand)->args[1], "\"USER\"");
  EXPECT_EQ(First(kOnCommand)->args[2], "\"alice\"");
  bool passResult = false;
  for (const Fired& f : fired) passResult |= f.id == kOnResult && f.args[1] == "\"PASS\"" && f.args[2] == "230";
  EXPECT_TRUE(passResult);
  ASSERT_NE(First(kOnUpload), nullptr);
  EXPECT_EQ(First(kOnUpload)->args[2], "100000");
  EXPECT_NE(First(kOnUpload)->args[1].find("up.bin"), std::string::npos);
  ASSERT_NE(First(kOnDownload), nullptr);
  EXPECT_EQ(First(kOnDownload)->args[2], "22");
  EXPECT_GE(Count(kOnIdle), 1);
  EXPECT_EQ(Get(u"ClientId"), "0");  // outside events

  VARIANT error{};
  ASSERT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
  EXPECT_EQ(Ids().back(), kOnStop);
  EXPECT_EQ(Get(u"IsActive"), "False");
  EXPECT_EQ(Get(u"ServerHandle"), "-1");
}

TEST_F(FtpServing, ServesOnIPv6Loopback) {
  if (!cvpeers::LoopbackAvailable(AF_INET6)) GTEST_SKIP() << "::1 is not available";
  ASSERT_TRUE(StartServer(u"::1", AF_INET6));
  cvpeers::TempDir local;
  const fs::path download = local.path() / "down.txt";
  ASSERT_EQ(Curl("-g " + Url("hello.txt", "[::1]") + " -o '" + download.string() + "'"), 0);
  EXPECT_EQ(ReadAll(download), "hello from the server\n");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnDisconnect) >= 1; }));
  EXPECT_EQ(First(kOnConnect)->args[1], "\"::1\"");
}

TEST_F(FtpServing, FrozenEventsAreQueuedAndReplayedFirst) {
  ASSERT_TRUE(StartServer());
  IOleControl* ole = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&ole)), S_OK);
  ole->FreezeEvents(1);
  // The engine threads go on at once: the transfer completes with nobody serving events.
  cvpeers::TempDir local;
  const fs::path download = local.path() / "down.txt";
  ASSERT_EQ(Curl(Url("hello.txt") + " -o '" + download.string() + "'"), 0);
  EXPECT_EQ(ReadAll(download), "hello from the server\n");
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(Count(kOnConnect), 0);
  ole->FreezeEvents(0);
  ole->Release();
  EXPECT_EQ(Count(kOnConnect), 0);  // delivered with the next notification

  RawClient second;
  std::atomic<bool> done{false};
  std::thread t([&] {
    second.Connect(port_);
    second.Reply();
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load() && Count(kOnConnect) == 2; }));
  t.join();
  // The first client's queued events came before the second client's connect.
  std::vector<std::string> connectClients;
  for (const Fired& f : fired)
    if (f.id == kOnConnect) connectClients.push_back(f.args[0]);
  ASSERT_EQ(connectClients.size(), 2u);
  EXPECT_NE(connectClients[0], connectClients[1]);
  size_t secondConnect = 0;
  for (size_t i = 0; i < fired.size(); ++i)
    if (fired[i].id == kOnConnect && fired[i].args[0] == connectClients[1]) secondConnect = i;
  EXPECT_EQ(secondConnect + 1, fired.size());  // the new event came last
  EXPECT_GE(Count(kOnDisconnect), 1);          // of the first client, replayed
}

TEST_F(FtpServing, MembersInsideEvents) {
  ASSERT_TRUE(StartServer());
  std::map<std::string, std::string> seen;
  handlers[kOnConnect] = [&](const Fired&) {
    seen["connect.user"] = Get(u"ClientUser");
    seen["connect.id"] = Get(u"ClientId");
    seen["connect.address"] = Get(u"ClientAddress");
  };
  handlers[kOnAuthenticate] = [&](const Fired& f) {
    // bob is no configured user: the host admits him itself.
    if (f.args[2] != "\"bob\"") return;
    VARIANT error{};
    seen["auth.first"] = std::to_string(Method(u"Authenticate", {I4(std::stoi(f.args[0])), Missing(), Missing(),
                                                                 Ref(&error)}));
    Method(u"Authenticate", {I4(std::stoi(f.args[0])), Missing(), Missing(), Ref(&error)});
    seen["auth.second"] = Show(error);
    seen["auth.password"] = f.args[3];
  };
  handlers[kOnLogin] = [&](const Fired&) {
    seen["login.user"] = Get(u"ClientUser");
    seen["login.authenticated"] = Get(u"IsAuthenticated");
  };
  handlers[kOnCommand] = [&](const Fired& f) {
    if (f.args[1] != "\"SYST\"") return;
    seen["command.line"] = Get(u"CommandLine");
    VARIANT error{};
    EXPECT_EQ(Method(u"SendResponse", {I4(std::stoi(f.args[0])), I4(99), Missing(), Ref(&error)}), S_OK);
    seen["response.99"] = Show(error);
    EXPECT_EQ(Method(u"SendResponse", {I4(std::stoi(f.args[0])), I4(215), Str(u"Host system"), Ref(&error)}), S_OK);
    EXPECT_EQ(Method(u"SendResponse", {I4(std::stoi(f.args[0])), I4(200), Missing(), Ref(&error)}), S_OK);
    seen["response.second"] = Show(error);
    VARIANT wrong{};
    wrong.vt = VT_BYREF | VT_I4;
    int32_t number = 0;
    wrong.plVal = &number;
    seen["resolve.wrong"] = std::to_string(Method(u"ResolvePath", {I4(0), Str(u"/"), wrong, Missing(), Ref(&error)}));
    VARIANT resolved{};
    Method(u"ResolvePath", {I4(std::stoi(f.args[0])), Str(u"/hello.txt"), Ref(&resolved), Bool(true), Ref(&error)});
    seen["resolve.local"] = Show(resolved);
    VariantClear(&resolved);
  };
  handlers[kOnTimeout] = [&](const Fired&) {};

  RawClient c;
  std::map<std::string, std::string> replies;
  std::atomic<bool> done{false};
  std::thread t([&] {
    if (c.Connect(port_)) {
      replies["banner"] = c.Reply();
      replies["user"] = c.Command("USER bob");
      replies["pass"] = c.Command("PASS whatever");
      replies["syst"] = c.Command("SYST");
      replies["quit"] = c.Command("QUIT");
    }
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  t.join();

  EXPECT_EQ(seen["connect.user"], "!800A2FC3");
  EXPECT_NE(seen["connect.id"], "0");
  EXPECT_EQ(seen["connect.address"], "\"127.0.0.1\"");
  EXPECT_EQ(seen["auth.first"], "0");
  EXPECT_EQ(seen["auth.second"], "12229");
  EXPECT_EQ(seen["auth.password"], "\"whatever\"");
  EXPECT_EQ(replies["pass"].substr(0, 3), "230");
  EXPECT_EQ(seen["login.user"], "\"bob\"");
  EXPECT_EQ(seen["login.authenticated"], "True");
  EXPECT_EQ(seen["command.line"], "\"SYST\"");
  EXPECT_EQ(seen["response.99"], "12385");
  EXPECT_EQ(seen["response.second"], "12388");
  EXPECT_EQ(replies["syst"], "215 Host system");
  EXPECT_EQ(seen["resolve.wrong"], std::to_string(int32_t(DISP_E_TYPEMISMATCH)));
  EXPECT_EQ(seen["resolve.local"], "\"" + (root_.path() / "hello.txt").string() + "\"");
  // Outside events the client members answer without an error.
  EXPECT_EQ(Get(u"ClientUser"), "\"\"");
  EXPECT_EQ(Put(u"ClientIdle", I4(30)), HRESULT(0x800A017C));
}

TEST_F(FtpServing, SiteExecFiresOnExecute) {
  ASSERT_TRUE(StartServer());
  VARIANT error{};
  ASSERT_EQ(Method(u"AddUser", {Str(u"runner"), Str(u"pw"), I4(65535), Missing(), Ref(&error)}), S_OK);
  ASSERT_EQ(Method(u"RegisterProgram", {Str(u"greet"), Str(u"/bin/echo"), Str(u"hi %1"), Missing(), Ref(&error)}),
            S_OK);
  EXPECT_EQ(Show(error), "0");
  EXPECT_EQ(Method(u"RegisterProgram", {Str(u"nothing"), Str(u"/no/such/program"), Missing(), Missing(), Ref(&error)}),
            S_OK);
  EXPECT_NE(Show(error), "0");
  RawClient c;
  std::string exec;
  std::atomic<bool> done{false};
  std::thread t([&] {
    if (c.Connect(port_) && !c.Reply().empty() && !c.Command("USER runner").empty() && !c.Command("PASS pw").empty())
      exec = c.Command("SITE EXEC greet there");
    c.Command("QUIT");
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  t.join();
  EXPECT_EQ(exec.substr(0, 1), "2") << exec;
  const Fired* e = First(kOnExecute);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->args[1], "\"GREET\"");  // command names are kept in capitals
  EXPECT_NE(e->args[2].find("hi there"), std::string::npos) << e->args[2];
  EXPECT_EQ(e->args[3], "0");
}

TEST_F(FtpServing, AnEventDuringAHandlerWaitsForIt) {
  ASSERT_TRUE(StartServer());
  std::vector<std::string> order;
  RawClient first, second;
  std::atomic<bool> secondConnected{false};
  handlers[kOnConnect] = [&](const Fired& f) {
    order.push_back("enter " + f.args[0]);
    if (order.size() == 1) {
      // A handler that serves messages while another client connects gets no nested event.
      std::thread t([&] {
        second.Connect(port_);
        second.Reply();
        secondConnected = true;
      });
      PumpUntil([&] { return secondConnected.load(); });
      t.join();
      PumpUntil([] { return false; }, 100);
    }
    order.push_back("leave " + f.args[0]);
  };
  std::thread t([&] {
    first.Connect(port_);
    first.Reply();
  });
  ASSERT_TRUE(PumpUntil([&] { return order.size() >= 4; }));
  t.join();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].substr(0, 5), "enter");
  EXPECT_EQ(order[1], "leave" + order[0].substr(5));
  EXPECT_EQ(order[2].substr(0, 5), "enter");
  EXPECT_NE(order[2], order[0]);
}

TEST_F(FtpServing, RunningServerRefusesSomeSettings) {
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Put(u"AuthFail", I4(5)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"Secure", Bool(true)), HRESULT(0x800A017F));
  EXPECT_EQ(Put(u"Directory", Str(u"/tmp")), HRESULT(0x800A305C));
  EXPECT_EQ(Get(u"Directory"), "\"" + root_.path().string() + "\"");
  EXPECT_EQ(Put(u"ServerPort", I4(2121)), S_OK);  // for the next start
  EXPECT_EQ(Put(u"MaxGuests", I4(2)), S_OK);
  EXPECT_NE(std::stoi(Get(u"Options")) & 8, 0);  // anonymous logins allowed
  EXPECT_EQ(Put(u"MaxClients", I4(0)), S_OK);
  VARIANT error{};
  EXPECT_EQ(Method(u"Suspend", {Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"IsListening"), "False");
  EXPECT_EQ(Method(u"Resume", {Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"IsListening"), "True");
  EXPECT_EQ(Method(u"Throttle", {Missing(), Missing(), Missing(), I4(0), Ref(&error)}), S_OK);
  EXPECT_EQ(Get(u"MaxClients"), "0");
  EXPECT_EQ(Get(u"MaxGuests"), "2");
}

TEST_F(FtpServing, LogSettingsReachTheRunningServer) {
  ASSERT_EQ(Put(u"LogLevel", I4(3)), S_OK);
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Get(u"LogFormat"), "2");
  EXPECT_NE(Get(u"LogFile"), "\"\"");  // the library's generated name
  EXPECT_EQ(Put(u"LogFormat", I4(1)), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "1");
  EXPECT_EQ(Get(u"LogLevel"), "3");
  // An empty file name turns the log off.
  EXPECT_EQ(Put(u"LogFile", Str(u"")), S_OK);
  EXPECT_EQ(Get(u"LogFormat"), "0");
  EXPECT_EQ(Get(u"LogLevel"), "0");
  // Without a file the server refuses a new level, and the setting stays as it was.
  EXPECT_EQ(Put(u"LogLevel", I4(4)), HRESULT(0x800A2718));
  EXPECT_EQ(Get(u"LogLevel"), "0");
}

TEST_F(FtpServing, StartWhileRunningStopsTheOldServerFirst) {
  ASSERT_TRUE(StartServer());
  fired.clear();
  ASSERT_TRUE(StartServer());
  EXPECT_EQ(Ids(), (std::vector<int>{kOnStop, kOnStart}));
}

TEST_F(FtpServing, StopWithClientsConnected) {
  ASSERT_TRUE(StartServer());
  RawClient a, b;
  std::atomic<int> ready{0};
  std::string endA, endB;
  std::thread t([&] {
    if (a.Connect(port_) && a.Reply().substr(0, 3) == "220") ++ready;
    if (b.Connect(port_) && b.Reply().substr(0, 3) == "220" && b.Command("USER alice").substr(0, 3) == "331") ++ready;
    while (ready.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    endA = a.Reply();
    endB = b.Reply();
    ++ready;
  });
  ASSERT_TRUE(PumpUntil([&] { return ready.load() == 2; }));
  EXPECT_EQ(Get(u"ClientCount"), "2");
  VARIANT error{};
  EXPECT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
  EXPECT_EQ(Show(error), "0");
  ++ready;
  EXPECT_TRUE(PumpUntil([&] { return ready.load() == 4; }));
  t.join();
  EXPECT_EQ(Get(u"IsActive"), "False");
  EXPECT_EQ(Ids().back(), kOnStop);
  EXPECT_EQ(Get(u"ClientCount"), "0");
}

// A host that stops the server from inside OnCommand: Stop comes back at once, with or
// without other clients connected, and the port refuses from then on.
TEST_F(FtpServing, StopInsideACommandEvent) {
  for (const int others : {0, 50}) {
    SCOPED_TRACE(others);
    ASSERT_TRUE(StartServer());
    VARIANT limits{};
    ASSERT_EQ(Method(u"Throttle", {I4(0), I4(0), Missing(), Missing(), Ref(&limits)}), S_OK);  // no limits
    fired.clear();
    std::vector<std::unique_ptr<RawClient>> idle;
    std::atomic<int> greeted{0};
    std::thread connector([&] {
      for (int i = 0; i < others; ++i) {
        auto c = std::make_unique<RawClient>();
        if (c->Connect(port_) && c->Reply().substr(0, 3) == "220") ++greeted;
        idle.push_back(std::move(c));
      }
    });
    EXPECT_TRUE(PumpUntil([&] { return greeted.load() == others; }, 60000));
    connector.join();
    double stopSeconds = -1;
    int refused = -1;
    handlers[kOnCommand] = [&](const Fired& f) {
      if (f.args[1] != "\"HELP\"") return;
      const auto start = std::chrono::steady_clock::now();
      VARIANT error{};
      EXPECT_EQ(Method(u"Stop", {Ref(&error)}), S_OK);
      stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const int late = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(uint16_t(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      refused = ::connect(late, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == ECONNREFUSED;
      ::close(late);
    };
    RawClient asking;
    std::string end = "pending";
    std::thread t([&] {
      if (asking.Connect(port_) && asking.Reply().substr(0, 3) == "220") end = asking.Command("HELP");
    });
    EXPECT_TRUE(PumpUntil([&] { return stopSeconds >= 0; }, 30000));
    EXPECT_TRUE(PumpUntil([&] { return end != "pending"; }, 30000));
    t.join();
    handlers.erase(kOnCommand);
    EXPECT_LT(stopSeconds, 1.0);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(Get(u"IsActive"), "False");
    EXPECT_EQ(Count(kOnStop), 1);
    for (auto& c : idle) {
      EXPECT_EQ(c->Reply(), "421 Service not available, closing control connection");  // told why
      EXPECT_EQ(c->Reply(), "");                                                       // closed
    }
  }
}

}  // namespace
