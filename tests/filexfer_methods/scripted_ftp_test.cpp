// The control against a scripted FTP server that misbehaves the way real servers cannot be
// made to: data cut short behind a success reply, a reply without end, a server that stops
// reading, a transfer reply without data, a passive reply naming another host, a refused
// size probe. Every call returns within twice the timeout (and a second), reports the
// first error it met with one OnError, and leaves LastError 0 when it succeeds.
#include "filexfer_methods/scripted_ftp_fixture.h"
#include "host/server_control_host.h"  // Bool

namespace xfertest {
namespace {

constexpr int32_t kTimeoutSeconds = 2;
constexpr auto kBound = std::chrono::seconds(2 * kTimeoutSeconds + 1);

struct FaultCase {
  const char* name;
  bool upload;
  std::function<void(ScriptServer&, DataPort&)> script;  // after the login
  int32_t error;                                         // 0: the call succeeds
  std::string local;                                     // the downloaded file afterwards ("": not looked at)
  bool timesOut;                                         // OnTimeout once
  const char* remote = "f.bin";                          // the remote (and local) file name
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
      // Text type with a known size: a converting server only adds bytes (CR LF), so fewer
      // on the wire than announced is a file cut short, as in image type.
      {"short text data then 226", false,
       [&](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE big.txt").Reply("213 1000000").Expect("TYPE A").Reply("200 Ascii."), d)
                  .Expect("RETR big.txt"),
              d, half, "150 Opening ASCII mode data connection for big.txt (1000000 bytes).");
       },
       cvErrorFileSizeMismatch & 0xFFFF, half, false, "big.txt"},
      {"text data of the announced size with CR LF added", false,
       [&](ScriptServer& s, DataPort& d) {
         Send(Pasv(s.Expect("SIZE big.txt").Reply("213 4").Expect("TYPE A").Reply("200 Ascii."), d)
                  .Expect("RETR big.txt"),
              d, "a\r\nb\r\n");
       },
       0, "a\nb\n", false, "big.txt"},
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
         });
       },
       cvErrorOperationTimeout & 0xFFFF, "", true},
      {"150 without data", false,
       [](ScriptServer& s, DataPort& d) {
         Pasv(s.Expect("SIZE f.bin").Reply("213 10"), d).Expect("RETR f.bin").Call([&d](ScriptServer& srv) {
           srv.SendRaw("150 Opening.\r\n");
           d.held = ScriptServer::AcceptOne(d.listener, 5s);  // connected, nothing sent, no final reply
         });
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
    DataPort d;
    ScriptServer server;
    c.script(Login(server), d);
    Connect(server, kTimeoutSeconds);
    // Every case starts with an error left over, which a success must clear.
    Put(u"LastError", I4(12204));
    std::chrono::milliseconds took{};
    Args args{Text8(Local(c.upload ? "up.bin" : c.remote)), Text8(c.remote), Missing()};
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
      EXPECT_TRUE(ReadFile(files_ / c.remote) == c.local);
    }
    Call(u"Disconnect", {Missing()});
    server.Finish(1s);
  }
}

// A short download fails in the same way whichever method started it, in image type and
// in text type: the files of a listing, and a background task, whose end reports the error.
TEST_F(ScriptedFtp, ShortDownloadsFailFromEveryMethod) {
  const std::string half(500000, 'h');
  for (const std::string name : {"f.bin", "f.txt"}) {
    SCOPED_TRACE(name);
    const bool text = name == "f.txt";
    const auto shortRetr = [&](ScriptServer& s, DataPort& d) -> ScriptServer& {
      s.Expect("SIZE " + name).Reply("213 1000000");
      if (text) s.Expect("TYPE A").Reply("200 Ascii.");
      return Send(Pasv(s, d).Expect("RETR " + name), d, half);
    };
    {
      SCOPED_TRACE("GetMultipleFiles");
      DataPort list, data;
      ScriptServer server;
      Send(Pasv(Login(server).Expect("TYPE A").Reply("200 Ascii."), list).ExpectPrefix("LIST"), list,
           "-rw-r--r--   1 ftp ftp  1000000 Jan 01  2020 " + name + "\r\n");
      shortRetr(server.Expect("TYPE I").Reply("200 Binary."), data);
      Connect(server, kTimeoutSeconds);
      const auto dir = files_ / "many";
      fs::create_directories(dir);
      std::chrono::milliseconds took{};
      Args args{Text8(dir.string()), S(u""), text ? S(u"*.txt") : S(u"*.bin")};
      ASSERT_EQ(Timed(u"GetMultipleFiles", args, &took), S_OK);
      EXPECT_EQ(ErrorNumber(), cvErrorFileSizeMismatch & 0xFFFF) << Get(u"LastErrorString") << " " << server.failure();
      EXPECT_EQ(Count(kOnError), 1);
      EXPECT_TRUE(ReadFile(dir / name) == half);
      Call(u"Disconnect", {Missing()});
      server.Finish(1s);
      ClearEvents();
    }
    {
      SCOPED_TRACE("AsyncGetFile");
      DataPort data;
      ScriptServer server;
      // The task logs in on a connection of its own.
      shortRetr(TaskLogin(Login(server).Accept()), data);
      Connect(server, kTimeoutSeconds);
      std::chrono::milliseconds took{};
      Args args{Text8(Local(name)), Text8(name), Missing()};
      ASSERT_EQ(Timed(u"AsyncGetFile", args, &took), S_OK);
      ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
      ASSERT_TRUE(PumpUntil([&] { return Count(kOnTaskEnd) == 1; })) << server.failure();
      EXPECT_EQ(uint32_t(First(kOnTaskEnd)->args[2].lVal) & 0xFFFF, uint32_t(cvErrorFileSizeMismatch & 0xFFFF))
          << server.failure();
      EXPECT_TRUE(ReadFile(files_ / name) == half);
      Call(u"Disconnect", {Missing()});
      server.Finish(1s);
      ClearEvents();
    }
  }
}

// GetMultipleFiles fetches only listed files that the mask admits, whatever the server
// answers to the mask; letters match without regard to case, as servers differ in it.
TEST_F(ScriptedFtp, GetMultipleFilesFetchesOnlyWhatTheMaskAdmits) {
  DataPort list, data;
  ScriptServer server;
  Send(Pasv(Login(server).Expect("TYPE A").Reply("200 Ascii."), list).Expect("LIST *.txt"), list,
       "-rw-r--r--   1 ftp ftp  5 Jan 01  2020 evil.exe\r\n"
       "-rw-r--r--   1 ftp ftp  5 Jan 01  2020 .bashrc\r\n"
       "-rw-r--r--   1 ftp ftp  5 Jan 01  2020 NOTES.TXT\r\n");
  server.Expect("TYPE I")
      .Reply("200 Binary.")
      .Expect("SIZE NOTES.TXT")
      .Reply("213 5")
      .Expect("TYPE A")
      .Reply("200 Ascii.");
  Send(Pasv(server, data).Expect("RETR NOTES.TXT"), data, "notes");
  server.Expect("QUIT").Reply("221 Bye.");
  Connect(server, kTimeoutSeconds);
  const auto dir = files_ / "masked";
  fs::create_directories(dir);
  std::chrono::milliseconds took{};
  Args args{Text8(dir.string()), S(u""), S(u"*.txt")};
  ASSERT_EQ(Timed(u"GetMultipleFiles", args, &took), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString") << " " << server.failure();
  EXPECT_EQ(ReadFile(dir / "NOTES.TXT"), "notes");
  EXPECT_FALSE(fs::exists(dir / "evil.exe"));
  EXPECT_FALSE(fs::exists(dir / ".bashrc"));
  Call(u"Disconnect", {Missing()});
  EXPECT_TRUE(server.Finish()) << server.failure();
}

// A cancel against a slow server: one OnCancel and one OnError, the call back promptly
// (the server's reply to the aborted transfer is not waited for at length), and the next
// call clean.
TEST_F(ScriptedFtp, OneCancelOneReportAndTheNextCallIsClean) {
  DataPort slow, quick;
  ScriptServer server;
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
  Connect(server, kTimeoutSeconds);

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
  Connect(server, kTimeoutSeconds);
  EXPECT_EQ(Get(u"Trace"), "True");
  Call(u"Disconnect", {Missing()});
  ASSERT_EQ(Put(u"Trace", Bool(false)), S_OK);
  EXPECT_NE(ReadFile(trace).find("connect("), std::string::npos) << ReadFile(trace);
  server.Finish(1s);
}

}  // namespace
}  // namespace xfertest
