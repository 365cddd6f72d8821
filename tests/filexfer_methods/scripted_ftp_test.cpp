// The control against a scripted FTP server that misbehaves the way real servers cannot be
// made to: data cut short behind a success reply, a reply without end, a server that stops
// reading, a transfer reply without data, a passive reply naming another host, a refused
// size probe. Every call returns within twice the timeout (and a second), reports the
// first error it met with one OnError, and leaves LastError 0 when it succeeds.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "core/errors/error_codes.h"
#include "filexfer_methods/control_fixture.h"
#include "host/server_control_host.h"  // Bool
#include "support/script_server.h"

namespace xfertest {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

constexpr int32_t kTimeoutSeconds = 2;
constexpr auto kBound = std::chrono::seconds(2 * kTimeoutSeconds + 1);

// The passive data port a script serves, opened when the client asks for it.
struct DataPort {
  int listener = -1;
  int port = 0;
  int held = -1;  // a connection the script keeps open without serving it
  ~DataPort() {
    if (held >= 0) ::close(held);
    if (listener >= 0) ::close(listener);
  }
};

std::string PasvReply(const char* host, int port) {
  std::ostringstream o;
  o << "227 Entering Passive Mode (" << host << "," << (port >> 8) << "," << (port & 255) << ").";
  return o.str();
}

ScriptServer& Pasv(ScriptServer& srv, DataPort& d, const char* host = "127,0,0,1") {
  return srv.Expect("PASV").Call([&d, host](ScriptServer& s) {
    d.listener = s.OpenListener(&d.port);
    s.SendRaw(PasvReply(host, d.port) + "\r\n");
  });
}

// 150, then the data on the data connection, closed, then the final reply.
ScriptServer& Send(ScriptServer& srv, DataPort& d, std::string data, std::string opening = "150 Opening.") {
  return srv.Call([&d, data, opening](ScriptServer& s) {
    s.SendRaw(opening + "\r\n");
    const int c = ScriptServer::AcceptOne(d.listener, 5s);
    if (c < 0) return;
    for (size_t off = 0; off < data.size();) {
      const ssize_t n = ::send(c, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += size_t(n);
    }
    ::close(c);
    s.SendRaw("226 Transfer complete.\r\n");
  });
}

class ScriptedFtp : public ControlFixture {
 protected:
  // The login and the queries of a connect; the control is connected when it returns.
  void Connect(ScriptServer& srv) {
    srv.Start();
    Put(u"Timeout", I4(kTimeoutSeconds));
    Var error;
    Args args{S(u"127.0.0.1"), I4(srv.port()), Missing(), Missing(), Missing(), Missing()};
    std::vector<VARIANT> a = args;
    a.push_back(error.ref());
    ASSERT_EQ(Call(u"Connect", a), S_OK);
    ASSERT_EQ(Get(u"IsConnected"), "True") << Get(u"LastErrorString") << " " << srv.failure();
    ClearEvents();
  }

  // The login and the queries of a connection, up to its binary type.
  static ScriptServer& LoginToType(ScriptServer& srv) {
    return srv.Reply("220 Scripted.")
        .Expect("SYST")
        .Reply("215 UNIX Type: L8")
        .Expect("USER anonymous")
        .Reply("331 Password.")
        .ExpectPrefix("PASS ")
        .Reply("230 Welcome.")
        .Expect("PWD")
        .Reply("257 \"/\"")
        .Expect("FEAT")
        .Send("211-Features:\r\n SIZE\r\n211 End\r\n")
        .Expect("TYPE I")
        .Reply("200 Binary.");
  }
  static ScriptServer& Login(ScriptServer& srv) { return LoginToType(srv).Expect("PWD").Reply("257 \"/\""); }
  // A background task's own login then enters the directory of the control's session.
  static ScriptServer& TaskLogin(ScriptServer& srv) {
    return LoginToType(srv).Expect("CWD /").Reply("250 Ok.").Expect("PWD").Reply("257 \"/\"");
  }

  // Runs a method with an Error argument last and measures it.
  HRESULT Timed(const char16_t* method, std::vector<VARIANT> args, std::chrono::milliseconds* took) {
    VariantClear(&error_.v);
    args.push_back(error_.ref());
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = Call(method, args);
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return hr;
  }
  int32_t ErrorNumber() const { return error_.v.vt == VT_I4 ? error_.v.lVal : -1; }

  Var error_;
};

struct FaultCase {
  const char* name;
  bool upload;
  std::function<void(ScriptServer&, DataPort&)> script;  // after the login
  int32_t error;                                         // 0: the call succeeds
  std::string local;                                     // the downloaded file afterwards ("": not looked at)
  bool timesOut;                                         // OnTimeout once
};

TEST_F(ScriptedFtp, FaultsEndWithinTwiceTheTimeWithTheirFirstError) {
  const std::string half(500000, 'h');
  const FaultCase cases[] = {
      {"short data then 226", false,
       [&](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE f.bin").Reply("213 1000000"), d).Expect("RETR f.bin"), d, half,
              "150 Opening BINARY mode data connection for f.bin (1000000 bytes).");
       },
       cvErrorFileSizeMismatch & 0xFFFF, half, false},
      {"short data announced only by the 150 reply", false,
       [&](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE f.bin").Reply("502 No SIZE here."), d).Expect("RETR f.bin"), d, half,
              "150 Opening BINARY mode data connection for f.bin (1000000 bytes).");
       },
       cvErrorFileSizeMismatch & 0xFFFF, half, false},
      {"endless multi-line reply", false,
       [](ScriptServer& s, DataPort&) {
         s.Expect("SIZE f.bin").Send("213-Here it comes\r\n").Trickle(" and more\r\n", 100ms);
       },
       cvErrorOperationTimeout & 0xFFFF, "", true},
      {"stalled STOR", true,
       [](ScriptServer& s, DataPort& d) {
         Pasv(s, d).Expect("STOR f.bin").Call([&d](ScriptServer& srv) {
           srv.SendRaw("150 Ok to send data.\r\n");
           d.held = ScriptServer::AcceptOne(d.listener, 5s);  // accepted, never read
         }).Expect("QUIT");
       },
       cvErrorOperationTimeout & 0xFFFF, "", true},
      {"150 without data", false,
       [](ScriptServer& s, DataPort& d) {
         Pasv(s.Expect("SIZE f.bin").Reply("213 10"), d).Expect("RETR f.bin").Call([&d](ScriptServer& srv) {
           srv.SendRaw("150 Opening.\r\n");
           d.held = ScriptServer::AcceptOne(d.listener, 5s);  // connected, nothing sent, no final reply
         }).Expect("QUIT");
       },
       cvErrorOperationTimeout & 0xFFFF, "", true},
      {"passive reply naming another host", false,
       [](ScriptServer& s, DataPort& d) {
         // A documentation address (never routed): the data connection goes to the server.
         Send(Pasv(s.Expect("SIZE f.bin").Reply("213 7"), d, "192,0,2,1").Expect("RETR f.bin"), d, "payload");
       },
       0, "payload", false},
      {"size refused", false,
       [](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE f.bin").Reply("550 Could not get file size."), d).Expect("RETR f.bin"), d,
              "payload");
       },
       0, "payload", false},
      {"size answer unreadable", false,
       [](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE f.bin").Reply("213 unknown"), d).Expect("RETR f.bin"), d, "payload");
       },
       0, "payload", false},
  };
  WriteFile(files_ / "up.bin", std::string(64u << 20, '\0'));
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server;
    DataPort d;
    c.script(Login(server), d);
    Connect(server);
    // Every case starts with an error left over, which a success must clear.
    Put(u"LastError", I4(12204));
    std::chrono::milliseconds took{};
    Args args{Text8(Local(c.upload ? "up.bin" : "f.bin")), S(u"f.bin"), Missing()};
    ASSERT_EQ(Timed(c.upload ? u"PutFile" : u"GetFile", args, &took), S_OK);
    EXPECT_LE(took, kBound);
    EXPECT_EQ(ErrorNumber(), c.error) << Get(u"LastErrorString") << "; script: " << server.failure();
    EXPECT_EQ(Get(u"LastError"), std::to_string(c.error));
    EXPECT_EQ(Count(kOnError), c.error ? 1 : 0);
    if (c.error && First(kOnError)) {
      EXPECT_EQ(First(kOnError)->args[0].lVal, c.error);
    }
    EXPECT_EQ(Count(kOnTimeout), c.timesOut ? 1 : 0);
    // A short download keeps the part received for a resume.
    if (!c.local.empty()) {
      EXPECT_TRUE(ReadFile(files_ / "f.bin") == c.local);
    }
    Call(u"Disconnect", {Missing()});
    server.Finish(1s);
  }
}

// A short download fails in the same way whichever method started it: the files of a
// listing, and a background task, whose end reports the error.
TEST_F(ScriptedFtp, ShortDownloadsFailFromEveryMethod) {
  const std::string half(500000, 'h');
  const auto shortRetr = [&](ScriptServer& s, DataPort& d) -> ScriptServer& {
    return Send(Pasv(s.Expect("SIZE f.bin").Reply("213 1000000"), d).Expect("RETR f.bin"), d, half);
  };
  {
    SCOPED_TRACE("GetMultipleFiles");
    ScriptServer server;
    DataPort list, data;
    Send(Pasv(Login(server).Expect("TYPE A").Reply("200 Ascii."), list).ExpectPrefix("LIST"), list,
         "-rw-r--r--   1 ftp ftp  1000000 Jan 01  2020 f.bin\r\n");
    shortRetr(server.Expect("TYPE I").Reply("200 Binary."), data);
    Connect(server);
    const auto dir = files_ / "many";
    fs::create_directories(dir);
    std::chrono::milliseconds took{};
    Args args{Text8(dir.string()), S(u""), S(u"*.bin")};
    ASSERT_EQ(Timed(u"GetMultipleFiles", args, &took), S_OK);
    EXPECT_EQ(ErrorNumber(), cvErrorFileSizeMismatch & 0xFFFF) << Get(u"LastErrorString") << " " << server.failure();
    EXPECT_EQ(Count(kOnError), 1);
    EXPECT_TRUE(ReadFile(dir / "f.bin") == half);
    Call(u"Disconnect", {Missing()});
    server.Finish(1s);
  }
  {
    SCOPED_TRACE("AsyncGetFile");
    ScriptServer server;
    DataPort data;
    // The task logs in on a connection of its own.
    shortRetr(TaskLogin(Login(server).Accept()), data);
    Connect(server);
    std::chrono::milliseconds took{};
    Args args{Text8(Local("f.bin")), S(u"f.bin"), Missing()};
    ASSERT_EQ(Timed(u"AsyncGetFile", args, &took), S_OK);
    ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
    ASSERT_TRUE(PumpUntil([&] { return Count(kOnTaskEnd) == 1; })) << server.failure();
    EXPECT_EQ(uint32_t(First(kOnTaskEnd)->args[2].lVal) & 0xFFFF, uint32_t(cvErrorFileSizeMismatch & 0xFFFF))
        << server.failure();
    EXPECT_TRUE(ReadFile(files_ / "f.bin") == half);
    Call(u"Disconnect", {Missing()});
    server.Finish(1s);
  }
}

// A cancel against a slow server: one OnCancel and one OnError, the call back promptly
// (the server's reply to the aborted transfer is not waited for at length), and the next
// call clean.
TEST_F(ScriptedFtp, OneCancelOneReportAndTheNextCallIsClean) {
  ScriptServer server;
  DataPort slow, quick;
  Pasv(Login(server).Expect("SIZE slow.bin").Reply("213 100000000"), slow)
      .Expect("RETR slow.bin")
      .Call([&slow](ScriptServer& s) {
        s.SendRaw("150 Opening.\r\n");
        const int c = ScriptServer::AcceptOne(slow.listener, 5s);
        const std::string block(1000, 's');
        // A little at a time until the client goes away, which the server then answers.
        for (int i = 0; i < 400 && ::send(c, block.data(), block.size(), MSG_NOSIGNAL) > 0; ++i)
          std::this_thread::sleep_for(50ms);
        ::close(c);
        s.SendRaw("426 Transfer aborted.\r\n");
      });
  Send(Pasv(server.Expect("SIZE ok.bin").Reply("213 2"), quick).Expect("RETR ok.bin"), quick, "ok");
  server.Expect("QUIT");
  Connect(server);

  std::chrono::steady_clock::time_point canceled{};
  onEvent_ = [&](const Event& e) {
    if (e.id != kOnProgress || canceled != std::chrono::steady_clock::time_point{}) return;
    canceled = std::chrono::steady_clock::now();
    Var error;
    Call(u"Cancel", {error.ref()});
  };
  std::chrono::milliseconds took{};
  Args get{Text8(Local("slow.bin")), S(u"slow.bin"), Missing()};
  ASSERT_EQ(Timed(u"GetFile", get, &took), S_OK);
  const auto returned = std::chrono::steady_clock::now();
  onEvent_ = nullptr;
  ASSERT_NE(canceled, std::chrono::steady_clock::time_point{}) << "no progress event came";
  EXPECT_LT(returned - canceled, 700ms) << "a cancel takes effect at once";
  EXPECT_EQ(ErrorNumber(), 10004);
  EXPECT_EQ(Get(u"LastError"), "10004");
  EXPECT_EQ(Count(kOnCancel), 1);
  EXPECT_EQ(Count(kOnError), 1);

  ClearEvents();
  Args ok{Text8(Local("ok.bin")), S(u"ok.bin"), Missing()};
  ASSERT_EQ(Timed(u"GetFile", ok, &took), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(Get(u"LastError"), "0");
  EXPECT_EQ(Count(kOnError), 0);
  EXPECT_EQ(ReadFile(files_ / "ok.bin"), "ok");
  Call(u"Disconnect", {Missing()});
  EXPECT_TRUE(server.Finish()) << server.failure();
}

// Tracing works as installed, without telling the control where the trace library is.
TEST_F(ScriptedFtp, TraceNeedsNoSetup) {
  unsetenv("CV_TRACE_LIBRARY");
  const std::string trace = Local("trace.log");
  PutText(u"TraceFile", trace);
  ASSERT_EQ(Put(u"Trace", Bool(true)), S_OK);
  ScriptServer server;
  Login(server).Expect("QUIT").Reply("221 Bye.");
  Connect(server);
  EXPECT_EQ(Get(u"Trace"), "True");
  Call(u"Disconnect", {Missing()});
  ASSERT_EQ(Put(u"Trace", Bool(false)), S_OK);
  EXPECT_NE(ReadFile(trace).find("connect("), std::string::npos) << ReadFile(trace);
  server.Finish(1s);
}

}  // namespace
}  // namespace xfertest
