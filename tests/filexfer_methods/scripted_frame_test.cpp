// Every method of the control against a scripted server, on an open connection and in the
// URL form: once against a server that went silent after the login, once against one that
// answers. Each call ends within twice the timeout and a second, reports a failure with
// exactly one OnError (and one OnTimeout where a wait ran out) carrying the first error it
// met, and leaves LastError 0 when it succeeds, also after an earlier call failed.
#include "filexfer_methods/scripted_ftp_fixture.h"

namespace xfertest {
namespace {

constexpr int32_t kTimeoutSeconds = 2;
constexpr auto kBound = std::chrono::seconds(2 * kTimeoutSeconds + 1);
constexpr int32_t kTimedOut = cvErrorOperationTimeout & 0xFFFF;
// What a call finds left over from an earlier failure.
constexpr int32_t kStaleError = cvErrorAccessDenied & 0xFFFF;

constexpr const char* kListing = "-rw-r--r--   1 ftp ftp  7 Jan 01  2020 f.bin\r\n";
constexpr const char* kStat = "213-Status of f.bin:\r\n-rw-r--r--   1 ftp ftp  7 Jan 01  2020 f.bin\r\n213 End\r\n";

enum class Mode { Silent, Answering };

// What one call needs besides the server: its names (a URL of the server in the URL form),
// the data ports of its script and its output arguments.
struct CallEnv {
  std::string url;  // "ftp://127.0.0.1:port/", or empty for names on the open connection
  int port = 0;     // the server's
  std::filesystem::path files;
  DataPort list, data;
  Var out[3];

  VARIANT Name(const std::string& name) const { return Text8(url + name); }
  VARIANT Path(const std::string& name) const { return Text8((files / name).string()); }
  VARIANT Out(int i) { return out[i].ref(); }
};

struct Row {
  const char* name;
  const char16_t* method;
  std::function<std::vector<VARIANT>(CallEnv&)> args = nullptr;  // without Error
  // What the answering server does after the login (null: the call needs no server).
  std::function<void(ScriptServer&, CallEnv&)> answer = nullptr;
  int32_t silentError = 0;  // against the silent server
  bool silentTimesOut = false;
  int32_t answeredError = 0;  // a call that fails whatever the server does
  bool listing = false;       // called on an open listing (served, or never served when silent)
  bool url = false;           // also in the URL form (the call connects and disconnects)
  bool hasError = true;       // the method has an Error argument
  bool connects = false;      // Connect itself: the control is not connected before
  bool quits = false;         // the call ends the connection itself (its QUIT is in the answer)
  bool keepsLastError = false;  // no operation of its own: LastError stays as the call found it
};

ScriptServer& Answer(ScriptServer& s, const std::string& command, const std::string& reply) {
  return s.Expect(command).Reply(reply);
}

// A listing opened and served (or, silent, opened and never served).
void ListingScript(ScriptServer& s, CallEnv& e, bool served) {
  Pasv(s.Expect("TYPE A").Reply("200 Ascii."), e.list).ExpectPrefix("LIST");
  if (served) {
    Send(s, e.list, kListing);
    return;
  }
  s.Call([&e](ScriptServer& srv) {
    srv.SendRaw("150 Here it comes.\r\n");
    e.list.held = ScriptServer::AcceptOne(e.list.listener, 5s);
  });
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  auto add = [&](Row r) { rows.push_back(std::move(r)); };
  const auto none = [](CallEnv&) { return std::vector<VARIANT>{}; };
  const auto fileName = [](CallEnv& e) { return std::vector<VARIANT>{e.Name("f.bin")}; };
  const auto retrieve = [](ScriptServer& s, CallEnv& e) {
    Send(Pasv(Answer(s, "SIZE f.bin", "213 7"), e.data).Expect("RETR f.bin"), e.data, "payload");
  };
  const auto store = [](const char* name) {
    return
        [name](ScriptServer& s, CallEnv& e) { Receive(Pasv(s, e.data).Expect(std::string("STOR ") + name), e.data); };
  };

  add({.name = "Connect",
       .method = u"Connect",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{Text8("127.0.0.1"), I4(e.port), Missing(), Missing(), Missing(), Missing()};
           },
       .answer = [](ScriptServer&, CallEnv&) {},
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .connects = true});
  add({.name = "Disconnect",
       .method = u"Disconnect",
       .args = none,
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "QUIT", "221 Bye."); },
       .quits = true});
  add({.name = "Cancel", .method = u"Cancel", .args = none, .keepsLastError = true});
  add({.name = "Command",
       .method = u"Command",
       .args = [](CallEnv&) { return std::vector<VARIANT>{Text8("NOOP")}; },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "NOOP", "200 Ok."); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "ChangeDirectory",
       .method = u"ChangeDirectory",
       .args = [](CallEnv&) { return std::vector<VARIANT>{Text8("sub")}; },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(Answer(s, "CWD sub", "250 Ok."), "PWD", "257 \"/sub\""); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "GetDirectory",
       .method = u"GetDirectory",
       .args = [](CallEnv& e) { return std::vector<VARIANT>{e.Out(0)}; },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "PWD", "257 \"/\""); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "MakeDirectory",
       .method = u"MakeDirectory",
       .args = [](CallEnv&) { return std::vector<VARIANT>{Text8("new")}; },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "MKD new", "257 \"/new\" created."); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "RemoveDirectory",
       .method = u"RemoveDirectory",
       .args = [](CallEnv& e) { return std::vector<VARIANT>{e.Name("old")}; },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "RMD old", "250 Removed."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "DeleteFile",
       .method = u"DeleteFile",
       .args = fileName,
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "DELE f.bin", "250 Deleted."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "RenameFile",
       .method = u"RenameFile",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("a.bin"), e.Name("b.bin")};
           },
       .answer = [](ScriptServer& s,
                    CallEnv&) { Answer(Answer(s, "RNFR a.bin", "350 Ready."), "RNTO b.bin", "250 Ok."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetFileSize",
       .method = u"GetFileSize",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), e.Out(0)};
           },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "SIZE f.bin", "213 7"); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetFileTime",
       .method = u"GetFileTime",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), e.Out(0)};
           },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "MDTM f.bin", "213 20200102030405"); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "SetFileTime",
       .method = u"SetFileTime",
       .args =
           [](CallEnv& e) {
             VARIANT date{};
             date.vt = VT_DATE;
             date.date = 43832.5;  // 2020-01-02 12:00, taken as UTC
             return std::vector<VARIANT>{e.Name("f.bin"), date};
           },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "MDTM 20200102120000 f.bin", "213 Modified."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetFileStatus",
       .method = u"GetFileStatus",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), e.Out(0),  Missing(), Missing(),
                                         Missing(),       Missing(), Missing()};
           },
       .answer = [](ScriptServer& s, CallEnv&) { s.Expect("STAT f.bin").Send(kStat); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetFilePermissions",
       .method = u"GetFilePermissions",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), e.Out(0)};
           },
       .answer = [](ScriptServer& s, CallEnv&) { s.Expect("STAT f.bin").Send(kStat); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "SetFilePermissions",
       .method = u"SetFilePermissions",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), I4(0644)};
           },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "SITE CHMOD 644 f.bin", "200 Ok."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "OpenDirectory",
       .method = u"OpenDirectory",
       .args =
           [](CallEnv&) {
             return std::vector<VARIANT>{Missing(), Missing()};
           },
       .answer = [](ScriptServer& s, CallEnv& e) { ListingScript(s, e, true); },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "ReadDirectory",
       .method = u"ReadDirectory",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Out(0), Missing(), Missing(), Missing(), Missing(), Missing(), Missing()};
           },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .listing = true});
  // The final reply of the listing, and the transfer type back.
  add({.name = "CloseDirectory",
       .method = u"CloseDirectory",
       .args = none,
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "TYPE I", "200 Binary."); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .listing = true});
  add({.name = "GetFileList",
       .method = u"GetFileList",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name(""), e.Out(0), Missing(), Missing()};
           },
       .answer =
           [](ScriptServer& s, CallEnv& e) {
             ListingScript(s, e, true);
             Answer(s, "TYPE I", "200 Binary.");
           },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetFile",
       .method = u"GetFile",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("got.bin"), e.Name("f.bin"), Missing()};
           },
       .answer = retrieve,
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "PutFile",
       .method = u"PutFile",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("up.bin"), e.Name("up.bin"), Missing()};
           },
       .answer = store("up.bin"),
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetData",
       .method = u"GetData",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Name("f.bin"), e.Out(0), e.Out(1), Missing()};
           },
       .answer = retrieve,
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "PutData",
       .method = u"PutData",
       .args =
           [](CallEnv& e) {
             // Control characters: the automatic type keeps the upload in image type.
             return std::vector<VARIANT>{e.Name("d.bin"), Text8("\x01\x02"), Missing(), Missing()};
           },
       .answer = store("d.bin"),
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "VerifyFile",
       .method = u"VerifyFile",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("seven.bin"), e.Name("f.bin"), Missing()};
           },
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "SIZE f.bin", "213 7"); },
       .silentError = kTimedOut,
       .silentTimesOut = true,
       .url = true});
  add({.name = "GetMultipleFiles",
       .method = u"GetMultipleFiles",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("many"), Text8(""), Text8("*.bin")};
           },
       .answer =
           [retrieve](ScriptServer& s, CallEnv& e) {
             ListingScript(s, e, true);
             retrieve(Answer(s, "TYPE I", "200 Binary."), e);
           },
       .silentError = kTimedOut,
       .silentTimesOut = true});
  add({.name = "PutMultipleFiles",
       .method = u"PutMultipleFiles",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("outbox"), Text8(""), Text8("*.bin")};
           },
       .answer = store("m.bin"),
       .silentError = kTimedOut,
       .silentTimesOut = true});
  // FTP has no form posts: refused without the network, once.
  const int32_t unsupported = cvErrorOperationNotSupported & 0xFFFF;
  add({.name = "PostFile",
       .method = u"PostFile",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{e.Path("up.bin"), e.Name("form"), Missing(), Missing()};
           },
       .silentError = unsupported,
       .answeredError = unsupported});
  add({.name = "AddFileType",
       .method = u"AddFileType",
       .args =
           [](CallEnv&) {
             return std::vector<VARIANT>{Text8("cvx"), I4(1)};
           },
       .hasError = false});
  // A background transfer starts at once; its own connection is the task's business.
  add({.name = "AsyncGetFile", .method = u"AsyncGetFile", .args = [](CallEnv& e) {
         return std::vector<VARIANT>{e.Path("task.bin"), Text8("f.bin"), Missing()};
       }});
  add({.name = "AsyncPutFile", .method = u"AsyncPutFile", .args = [](CallEnv& e) {
         return std::vector<VARIANT>{e.Path("up.bin"), Text8("task.bin"), Missing()};
       }});
  const int32_t invalidTask = cvErrorInvalidTask & 0xFFFF;
  add({.name = "TaskAbort", .method = u"TaskAbort", .args = [](CallEnv&) {
         return std::vector<VARIANT>{Missing(), Missing()};
       }});
  add({.name = "TaskDone",
       .method = u"TaskDone",
       .args =
           [](CallEnv& e) {
             return std::vector<VARIANT>{I4(99999), e.Out(0)};
           },
       .hasError = false});
  add({.name = "TaskSuspend",
       .method = u"TaskSuspend",
       .args = [](CallEnv&) { return std::vector<VARIANT>{I4(99999)}; },
       .silentError = invalidTask,
       .answeredError = invalidTask});
  add({.name = "TaskResume",
       .method = u"TaskResume",
       .args = [](CallEnv&) { return std::vector<VARIANT>{I4(99999)}; },
       .silentError = invalidTask,
       .answeredError = invalidTask});
  add({.name = "TaskWait", .method = u"TaskWait", .args = [](CallEnv&) {
         return std::vector<VARIANT>{Missing(), Missing(), Missing(), Missing()};
       }});
  add({.name = "Initialize", .method = u"Initialize", .args = [](CallEnv&) {
         return std::vector<VARIANT>{Missing()};
       }});
  add({.name = "About", .method = u"About", .args = none, .hasError = false});
  add({.name = "Reset",
       .method = u"Reset",
       .args = none,
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "QUIT", "221 Bye."); },
       .hasError = false,
       .quits = true});
  add({.name = "Uninitialize",
       .method = u"Uninitialize",
       .args = none,
       .answer = [](ScriptServer& s, CallEnv&) { Answer(s, "QUIT", "221 Bye."); },
       .hasError = false,
       .quits = true});
  return rows;
}

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class FrameTable : public ScriptedFtp, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    ScriptedFtp::SetUp();
    // Binary content: the automatic type keeps these uploads in image type.
    WriteFile(files_ / "up.bin", std::string("\0\xFFup", 4));
    WriteFile(files_ / "seven.bin", "payload");
    fs::create_directories(files_ / "many");
    fs::create_directories(files_ / "outbox");
    WriteFile(files_ / "outbox" / "m.bin", std::string("\0\xFFmany", 6));
  }

  // One call of the row's method in a mode, on an open connection or in the URL form.
  void RunCall(Mode mode, bool urlForm) {
    const Row& row = GetParam();
    SCOPED_TRACE(std::string(mode == Mode::Silent ? "silent" : "answering") + (urlForm ? ", URL form" : ""));
    ClearEvents();
    CallEnv env;
    ScriptServer server;
    env.files = files_;
    // The login a connection needs; Connect's own call is silent from its binary type on.
    if (row.connects && mode == Mode::Silent) LoginToType(server);
    else Login(server);
    // A URL names the binary type itself, which the connection then sets.
    if (urlForm) Answer(server, "TYPE I", "200 Binary.");
    if (row.listing) ListingScript(server, env, mode == Mode::Answering);
    if (mode == Mode::Answering) {
      if (row.answer) row.answer(server, env);
      if (!row.quits) Answer(server, "QUIT", "221 Bye.");
    }
    server.Silence();
    env.port = server.port();

    if (row.connects || urlForm) {
      server.Start();
      Put(u"Timeout", I4(kTimeoutSeconds));
      if (urlForm) env.url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    } else {
      Connect(server, kTimeoutSeconds);
      if (HasFatalFailure()) return;
      if (row.listing) {
        Var error;
        ASSERT_EQ(Call(u"OpenDirectory", {Missing(), Missing(), error.ref()}), S_OK);
        ASSERT_EQ(error.v.lVal, 0) << Get(u"LastErrorString");
      }
      ClearEvents();
    }
    Put(u"LastError", I4(kStaleError));

    std::vector<VARIANT> args = row.args(env);
    if (row.hasError) {
      VariantClear(&error_.v);
      args.push_back(error_.ref());
    }
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = Call(row.method, args);
    const auto took = std::chrono::steady_clock::now() - start;
    for (VARIANT& a : args)
      if (a.vt == VT_BSTR) VariantClear(&a);

    const bool silent = mode == Mode::Silent;
    const int32_t expected = silent ? row.silentError : row.answeredError;
    const bool timesOut = silent && row.silentTimesOut;
    EXPECT_EQ(hr, S_OK);
    EXPECT_LE(took, kBound);
    if (row.hasError) {
      EXPECT_EQ(ErrorNumber(), expected) << Get(u"LastErrorString") << "; script: " << server.failure();
    }
    EXPECT_EQ(Get(u"LastError"), std::to_string(row.keepsLastError ? kStaleError : expected))
        << Get(u"LastErrorString");
    EXPECT_EQ(Count(kOnError), expected ? 1 : 0);
    if (expected && First(kOnError)) {
      EXPECT_EQ(First(kOnError)->args[0].lVal, expected);
    }
    EXPECT_EQ(Count(kOnTimeout), timesOut ? 1 : 0);
    if (urlForm || (row.connects && silent)) {
      EXPECT_EQ(Get(u"IsConnected"), "False");
    }
    if (!silent) {
      std::string lines;
      for (const std::string& line : server.received()) lines += line + " | ";
      EXPECT_EQ(server.failure(), "") << "received: " << lines;
    }
    Call(u"Disconnect", {Missing()});
  }
};

TEST_P(FrameTable, OneBoundOneReportTheFirstErrorAndNoStaleError) {
  RunCall(Mode::Silent, false);
  RunCall(Mode::Answering, false);
  if (!GetParam().url) return;
  RunCall(Mode::Silent, true);
  RunCall(Mode::Answering, true);
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, FrameTable, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return std::string(info.param.name); });

// The URL form against a server that opens a download and then sends nothing: the data
// wait and the final reply each get their timeout, and the disconnect adds no third.
TEST_F(ScriptedFtp, UrlFormAfterAStalledDownloadEndsWithinTwiceTheTimeout) {
  DataPort d;
  ScriptServer server;
  Pasv(Answer(Login(server), "TYPE I", "200 Binary.").Expect("SIZE f.bin").Reply("213 10"), d)
      .Expect("RETR f.bin")
      .Call([&d](ScriptServer& s) {
        s.SendRaw("150 Opening.\r\n");
        d.held = ScriptServer::AcceptOne(d.listener, 5s);
      });
  server.Silence();
  server.Start();
  Put(u"Timeout", I4(kTimeoutSeconds));
  const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/f.bin";
  std::chrono::milliseconds took{};
  Args args{Text8(Local("f.bin")), Text8(url), Missing()};
  ASSERT_EQ(Timed(u"GetFile", args, &took), S_OK);
  EXPECT_LE(took, kBound);
  EXPECT_EQ(ErrorNumber(), kTimedOut) << Get(u"LastErrorString");
  EXPECT_EQ(Get(u"LastError"), std::to_string(kTimedOut));
  EXPECT_EQ(Count(kOnError), 1);
  EXPECT_EQ(Count(kOnTimeout), 1);
  EXPECT_EQ(Get(u"IsConnected"), "False");
}

}  // namespace
}  // namespace xfertest
