// The control driven by name against real FTP servers on loopback: connections from the
// properties and from URLs, file and memory transfers with their events, directories,
// file information, failed logins, Cancel and a release of the control from inside an
// event, and background tasks.
#include <random>

#include "filexfer_methods/control_fixture.h"
#include "support/ftp_peers.h"

namespace xfertest {
namespace {

using cvtest::FtpPeer;
using cvtest::FtpPeerKind;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char(gen());
  return s;
}

class FtpControl : public ControlFixture {
 protected:
  // Connect with the peer's login; the control stays connected.
  void ConnectTo(FtpPeer& peer) {
    Var error;
    Args args{Text8(peer.address()), I4(peer.port()), Text8(peer.user()), Text8(peer.password()), I4(10),
              Missing()};
    std::vector<VARIANT> a = args;
    a.push_back(error.ref());
    ASSERT_EQ(Call(u"Connect", a), S_OK);
    ASSERT_EQ(error.v.lVal, 0) << Get(u"LastErrorString") << "\n" << peer.Diagnostics();
    ASSERT_EQ(Get(u"IsConnected"), "True");
  }
  // A URL of the peer with its login.
  static std::string Url(FtpPeer& peer, const std::string& path) {
    return std::string("ftp://") + peer.user() + ":" + peer.password() + "@" + peer.address() + ":" +
           std::to_string(peer.port()) + "/" + path;
  }
  // Runs a method with an Error argument last; returns the HRESULT and leaves Error in error_.
  HRESULT Run(const char16_t* method, std::vector<VARIANT> args) {
    VariantClear(&error_.v);
    args.push_back(error_.ref());
    return Call(method, args);
  }
  int32_t ErrorNumber() const { return error_.v.vt == VT_I4 ? error_.v.lVal : -1; }

  Var error_;
};

TEST_F(FtpControl, FilesBothWaysWithProgressAndCommandEvents) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(300000, 7);
  peer.Put("down.bin", data);
  ConnectTo(peer);
  EXPECT_NE(Get(u"ServerDirectory"), "");

  Args get{Text8(Local("down.bin")), S(u"down.bin"), Missing()};
  ASSERT_EQ(Run(u"GetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(files_ / "down.bin"), data);
  ASSERT_GE(Count(kOnProgress), 1);
  const Event* last = nullptr;
  for (const Event& e : events_)
    if (e.id == kOnProgress) last = &e;
  ASSERT_EQ(last->args.size(), 4u);
  EXPECT_EQ(Utf8(last->args[0]), "down.bin");
  EXPECT_EQ(last->args[1].vt, VT_I4);
  EXPECT_EQ(last->args[1].lVal, int32_t(data.size()));
  EXPECT_EQ(last->args[2].lVal, int32_t(data.size()));
  EXPECT_EQ(last->args[3].lVal, 100);
  EXPECT_EQ(Get(u"TransferBytes"), std::to_string(data.size()));

  // Resuming at an offset appends to the local file's first part.
  WriteFile(files_ / "part.bin", data.substr(0, 1000));
  Args resume{Text8(Local("part.bin")), S(u"down.bin"), I4(1000)};
  ASSERT_EQ(Run(u"GetFile", resume), S_OK);
  EXPECT_EQ(ReadFile(files_ / "part.bin"), data);

  const std::string up = RandomBytes(100000, 8);
  WriteFile(files_ / "up.bin", up);
  Args put{Text8(Local("up.bin")), S(u"up.bin"), Missing()};
  ASSERT_EQ(Run(u"PutFile", put), S_OK);
  EXPECT_EQ(ReadFile(peer.root() / "up.bin"), up);

  ClearEvents();
  Args noop{S(u"NOOP")};
  ASSERT_EQ(Run(u"Command", noop), S_OK);
  ASSERT_EQ(Count(kOnCommand), 1);
  EXPECT_EQ(First(kOnCommand)->args[0].lVal, 200);
  EXPECT_EQ(Get(u"ResultCode"), "200");

  ASSERT_EQ(Run(u"Disconnect", {}), S_OK);
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"TransferBytes"), std::to_string(up.size()));  // kept after the session
}

TEST_F(FtpControl, UrlArgumentsConnectAndDisconnectAroundTheOperationOnEveryServer) {
  for (FtpPeerKind kind : {FtpPeerKind::Proftpd, FtpPeerKind::Vsftpd, FtpPeerKind::PureFtpd}) {
    FtpPeer peer(kind);
    CV_START_PEER(peer);
    SCOPED_TRACE(int(kind));
    const std::string data = RandomBytes(5000, uint32_t(kind) + 1);
    peer.Put("url.bin", data);
    Args get{Text8(Local("url.bin")), Text8(Url(peer, "url.bin")), Missing()};
    ASSERT_EQ(Run(u"GetFile", get), S_OK) << peer.Diagnostics();
    EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
    EXPECT_EQ(ReadFile(files_ / "url.bin"), data);
    EXPECT_EQ(Get(u"IsConnected"), "False");
    EXPECT_EQ(Get(u"Resource"), "url.bin");
    EXPECT_EQ(Get(u"TransferBytes"), "5000");

    // The upload takes the properties the URL left; a missing remote name is Resource.
    const std::string remote = peer.uploadDir().empty() ? "back.bin" : peer.uploadDir() + "/back.bin";
    PutText(u"Resource", remote);
    Args put{Text8(Local("url.bin")), Missing(), Missing()};
    ASSERT_EQ(Run(u"PutFile", put), S_OK);
    EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
    EXPECT_EQ(ReadFile(peer.root() / remote), data);
    EXPECT_EQ(Get(u"IsConnected"), "False");

    // A failing operation reports its own error, not the disconnect's.
    ClearEvents();
    Args missing{Text8(Local("none.bin")), S(u"no-such-file.bin"), Missing()};
    ASSERT_EQ(Run(u"GetFile", missing), S_OK);
    EXPECT_NE(ErrorNumber(), 0);
    EXPECT_EQ(Get(u"LastError"), std::to_string(ErrorNumber()));
    // The replies the library reported as errors fired OnError on the way; the method's
    // own report comes last, after the disconnect's reply.
    ASSERT_GE(Count(kOnError), 1);
    EXPECT_EQ(events_.back().id, kOnError);
    EXPECT_EQ(events_.back().args[0].lVal, ErrorNumber());
    EXPECT_EQ(Get(u"IsConnected"), "False");
    PutText(u"URL", "");
  }
}

// Text and binary files, empty, of one byte and of 10 MB, with blanks and UTF-8 in their
// names, up and down again with the default properties: byte for byte what they were, on
// every server (text goes in ASCII type by its extension).
TEST_F(FtpControl, FilesRoundTripByteExactOnEveryServer) {
  std::string lines;
  for (int i = 0; lines.size() < (10u << 20); ++i) lines += "line " + std::to_string(i) + " of some text\n";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"zero.bin", ""},
      {"one.bin", "\xFF"},
      {"ten mb \xC3\xBC" "ber.bin", RandomBytes(10u << 20, 9)},
      {"zero.txt", ""},
      {"one.txt", "\n"},
      {"ten mb \xE2\x82\xAC text.txt", lines},
  };
  for (FtpPeerKind kind : {FtpPeerKind::Proftpd, FtpPeerKind::Vsftpd, FtpPeerKind::PureFtpd}) {
    FtpPeer peer(kind);
    CV_START_PEER(peer);
    SCOPED_TRACE(int(kind));
    ConnectTo(peer);
    const std::string dir = peer.uploadDir().empty() ? "" : peer.uploadDir() + "/";
    for (const auto& [name, content] : files) {
      SCOPED_TRACE(name);
      WriteFile(files_ / "up", content);
      Args put{Text8(Local("up")), Text8(dir + name), Missing()};
      ASSERT_EQ(Run(u"PutFile", put), S_OK);
      ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
      Args get{Text8(Local("down")), Text8(dir + name), Missing()};
      ASSERT_EQ(Run(u"GetFile", get), S_OK);
      ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
      EXPECT_TRUE(ReadFile(files_ / "down") == content) << "the file came back changed";
      EXPECT_EQ(Get(u"LastError"), "0");
    }
  }
}

// Text downloads end their lines as local text does, against the servers that send CR LF
// in ASCII type: the file equals the server's copy, the statistics count its bytes and the
// verification accepts it. (Both refuse REST in ASCII type: a resumed text download is
// shown against a scripted server.)
TEST_F(FtpControl, TextFilesKeepTheLocalLineEnds) {
  for (FtpPeerKind kind : {FtpPeerKind::Proftpd, FtpPeerKind::PureFtpd}) {
    FtpPeer peer(kind);
    CV_START_PEER(peer);
    SCOPED_TRACE(int(kind));
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\n";
    peer.Put("notes.txt", text);
    ConnectTo(peer);
    Args get{Text8(Local("notes.txt")), S(u"notes.txt"), Missing()};
    ASSERT_EQ(Run(u"GetFile", get), S_OK);
    ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
    EXPECT_TRUE(ReadFile(files_ / "notes.txt") == text) << "CR LF from the server landed unchanged";
    EXPECT_EQ(Get(u"TransferBytes"), std::to_string(text.size()));

    Args verify{Text8(Local("notes.txt")), S(u"notes.txt"), Missing()};
    ASSERT_EQ(Run(u"VerifyFile", verify), S_OK);
    EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");

    // Up again: the server stores its own line ends, the statistics count the file's.
    Args put{Text8(Local("notes.txt")), S(u"back.txt"), Missing()};
    ASSERT_EQ(Run(u"PutFile", put), S_OK);
    ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
    EXPECT_EQ(Get(u"TransferBytes"), std::to_string(text.size()));
    EXPECT_TRUE(ReadFile(peer.root() / "back.txt") == text);
    Run(u"Disconnect", {});
  }
}

// A stock vsftpd stores a text upload as it arrives: with the default type the LF line
// ends of a .txt file go out as CR LF (the text type of RFC 959) and land on disk so, one
// byte a line more than the local file. Image type (FileType) makes the copy exact.
TEST_F(FtpControl, TextUploadsToAStockVsftpdStoreTheWireLineEnds) {
  FtpPeer peer(FtpPeerKind::Vsftpd);
  CV_START_PEER(peer);
  std::string text, wire;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = "line " + std::to_string(i) + " of the notes";
    text += line + "\n";
    wire += line + "\r\n";
  }
  WriteFile(files_ / "notes.txt", text);
  ConnectTo(peer);
  const std::string remote = peer.uploadDir() + "/notes.txt";
  Args put{Text8(Local("notes.txt")), Text8(remote), Missing()};
  ASSERT_EQ(Run(u"PutFile", put), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(Get(u"TransferBytes"), std::to_string(text.size()));
  EXPECT_TRUE(ReadFile(peer.root() / remote) == wire) << "the server's copy is not the wire's text";

  ASSERT_EQ(Put(u"FileType", I4(3)), S_OK);
  ASSERT_EQ(Run(u"PutFile", put), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_TRUE(ReadFile(peer.root() / remote) == text) << "image type changed the file";
  Run(u"Disconnect", {});
}

TEST_F(FtpControl, MemoryTransfersIntoStringsAndByteArrays) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  peer.Put("text.txt", "h\xC3\xA9llo world");
  ConnectTo(peer);

  Var buffer, length;
  Args name{S(u"text.txt")};
  ASSERT_EQ(Run(u"GetData", {name.v[0], buffer.ref(), length.ref(), Missing()}), S_OK);
  ASSERT_EQ(buffer.v.vt, VT_BSTR);
  EXPECT_EQ(Text(buffer.v), u"h\u00e9llo world");
  EXPECT_EQ(length.v.vt, VT_EMPTY);  // an empty Length keeps its type
  EXPECT_EQ(length.v.lVal, 12);

  // A null array by reference gets a new one of the file's size.
  SAFEARRAY* none = nullptr;
  Var bytes;
  bytes.v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  bytes.v.pparray = &none;
  int32_t count = 0;
  Var countRef;
  countRef.v.vt = VT_BYREF | VT_I4;
  countRef.v.plVal = &count;
  ASSERT_EQ(Run(u"GetData", {name.v[0], bytes.v, countRef.v, Missing()}), S_OK);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->rgsabound[0].cElements, 12u);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(std::string(static_cast<char*>(none->pvData), 12), "h\xC3\xA9llo world");
  SafeArrayDestroy(none);

  // A smaller array takes what fits.
  Var small;
  small.v.vt = VT_ARRAY | VT_UI1;
  small.v.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  SAFEARRAY* smallArray = small.v.parray;
  Var smallRef;
  smallRef.v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  smallRef.v.pparray = &smallArray;
  ASSERT_EQ(Run(u"GetData", {name.v[0], smallRef.v, countRef.v, Missing()}), S_OK);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::string(static_cast<char*>(smallArray->pvData), 4), "h\xC3\xA9l");

  Args three{S(u"three.txt"), S(u"abc")};
  ASSERT_EQ(Run(u"PutData", {three.v[0], three.v[1], Missing(), Missing()}), S_OK);
  EXPECT_EQ(ReadFile(peer.root() / "three.txt"), "abc");
  ASSERT_EQ(Run(u"PutData", {three.v[0], three.v[1], I4(2), Missing()}), S_OK);
  EXPECT_EQ(ReadFile(peer.root() / "three.txt"), "ab");
  // An empty remote file comes back as an empty string.
  peer.Put("empty.txt", "");
  Var empty;
  Args emptyName{S(u"empty.txt")};
  ASSERT_EQ(Run(u"GetData", {emptyName.v[0], empty.ref(), Missing(), Missing()}), S_OK);
  EXPECT_EQ(empty.v.vt, VT_BSTR);
  EXPECT_EQ(Text(empty.v), u"");
}

TEST_F(FtpControl, DirectoriesListingsAndFileInformation) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  peer.Put("a.txt", "12345");
  ConnectTo(peer);

  Args sub{S(u"sub")};
  ASSERT_EQ(Run(u"MakeDirectory", sub), S_OK);
  ASSERT_EQ(Run(u"MakeDirectory", sub), S_OK);
  EXPECT_NE(ErrorNumber(), 0);  // it exists now
  ASSERT_EQ(Run(u"ChangeDirectory", sub), S_OK);
  EXPECT_EQ(ErrorNumber(), 0);
  Var path;
  ASSERT_EQ(Run(u"GetDirectory", {path.ref()}), S_OK);
  EXPECT_EQ(Utf8(path.v).substr(Utf8(path.v).size() - 4), "/sub");
  Args up{S(u"..")};
  ASSERT_EQ(Run(u"ChangeDirectory", up), S_OK);

  // Parsed entries until the end of the listing.
  ASSERT_EQ(Run(u"OpenDirectory", {Missing(), Missing()}), S_OK);
  std::map<std::string, std::pair<int32_t, bool>> seen;
  for (int i = 0; i < 10; ++i) {
    Var name, size, date, isDir;
    ASSERT_EQ(Run(u"ReadDirectory", {name.ref(), size.ref(), date.ref(), Missing(), Missing(), Missing(),
                                     isDir.ref()}),
              S_OK);
    if (ErrorNumber() != 0) {
      EXPECT_EQ(ErrorNumber(), 12269);
      break;
    }
    seen[Utf8(name.v)] = {size.v.lVal, isDir.v.boolVal != VARIANT_FALSE};
    EXPECT_NE(Utf8(date.v), "");
  }
  ASSERT_EQ(Run(u"CloseDirectory", {}), S_OK);
  EXPECT_EQ(seen["a.txt"], std::make_pair(5, false));
  EXPECT_TRUE(seen["sub"].second);

  // Raw lines, without their line ends, then an empty name and no error.
  ASSERT_EQ(Run(u"OpenDirectory", {Missing(), I4(0)}), S_OK);
  std::string lines;
  for (int i = 0; i < 10; ++i) {
    Var name;
    ASSERT_EQ(Run(u"ReadDirectory", {name.ref(), Missing(), Missing(), Missing(), Missing(), Missing(), Missing()}),
              S_OK);
    ASSERT_EQ(ErrorNumber(), 0);
    const std::string line = Utf8(name.v);
    if (line.empty()) break;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    lines += line + "|";
  }
  EXPECT_NE(lines.find("a.txt|"), std::string::npos) << lines;
  EXPECT_NE(lines.find("sub|"), std::string::npos) << lines;
  Run(u"CloseDirectory", {});

  Var list;
  ASSERT_EQ(Run(u"GetFileList", {Missing(), list.ref(), Missing(), I4(1)}), S_OK);
  EXPECT_NE(Utf8(list.v).find("a.txt"), std::string::npos);

  Var size, date, perms;
  Args a{S(u"a.txt")};
  ASSERT_EQ(Run(u"GetFileSize", {a.v[0], size.ref()}), S_OK);
  EXPECT_EQ(size.v.vt, VT_I4);
  EXPECT_EQ(size.v.lVal, 5);
  ASSERT_EQ(Run(u"GetFileTime", {a.v[0], date.ref()}), S_OK);
  EXPECT_NE(Utf8(date.v), "");
  ASSERT_EQ(Run(u"SetFilePermissions", {a.v[0], I4(0640)}), S_OK);
  ASSERT_EQ(Run(u"GetFilePermissions", {a.v[0], perms.ref()}), S_OK);
  EXPECT_EQ(perms.v.lVal & 0777, 0640);
  Var isDir;
  ASSERT_EQ(Run(u"GetFileStatus", {a.v[0], Missing(), Missing(), Missing(), Missing(), Missing(), isDir.ref()}),
            S_OK);
  EXPECT_EQ(isDir.v.vt, VT_BOOL);
  EXPECT_EQ(isDir.v.boolVal, VARIANT_FALSE);

  WriteFile(files_ / "same.txt", "12345");
  WriteFile(files_ / "other.txt", "123456");
  Args same{Text8(Local("same.txt")), S(u"a.txt"), Missing()};
  ASSERT_EQ(Run(u"VerifyFile", same), S_OK);
  EXPECT_EQ(ErrorNumber(), 0);
  Args other{Text8(Local("other.txt")), S(u"a.txt"), I4(1)};
  ASSERT_EQ(Run(u"VerifyFile", other), S_OK);
  EXPECT_EQ(ErrorNumber(), 12351);

  Args rename{S(u"a.txt"), S(u"b.txt")};
  ASSERT_EQ(Run(u"RenameFile", rename), S_OK);
  EXPECT_TRUE(fs::exists(peer.root() / "b.txt"));
  Args b{S(u"b.txt")};
  ASSERT_EQ(Run(u"DeleteFile", b), S_OK);
  EXPECT_FALSE(fs::exists(peer.root() / "b.txt"));
  ASSERT_EQ(Run(u"GetFileSize", {b.v[0], size.ref()}), S_OK);
  EXPECT_EQ(ErrorNumber(), 10002);

  // A directory removed through a URL: connected, removed and disconnected again.
  Run(u"Disconnect", {});
  Args rmd{Text8(Url(peer, "sub"))};
  ASSERT_EQ(Run(u"RemoveDirectory", rmd), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_FALSE(fs::exists(peer.root() / "sub"));
  EXPECT_EQ(Get(u"IsConnected"), "False");
}

TEST_F(FtpControl, WrongPasswordLeavesNoSessionAndTheServersReply) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  Args args{Text8(peer.address()), I4(peer.port()), Text8(peer.user()), S(u"wrong"), I4(10), Missing()};
  ASSERT_EQ(Run(u"Connect", args), S_OK);
  EXPECT_NE(ErrorNumber(), 0);
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"ResultCode"), "530");
  EXPECT_EQ(Get(u"LastError"), std::to_string(ErrorNumber()));
  EXPECT_EQ(Count(kOnError), 1);
}

TEST_F(FtpControl, CancelFromAProgressEventEndsTheTransfer) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  peer.Put("big.bin", RandomBytes(2 << 20, 3));
  ConnectTo(peer);
  Put(u"Priority", I4(1));  // small blocks with a pause: progress events come mid-transfer
  onEvent_ = [this](const Event& e) {
    if (e.id == kOnProgress) {
      Var error;
      Call(u"Cancel", {error.ref()});
    }
  };
  Args get{Text8(Local("big.bin")), S(u"big.bin"), Missing()};
  ASSERT_EQ(Run(u"GetFile", get), S_OK);
  EXPECT_EQ(ErrorNumber(), 10004);
  EXPECT_EQ(Get(u"LastError"), "10004");
  onEvent_ = nullptr;
  // The session is still usable afterwards.
  ClearEvents();
  peer.Put("small.bin", "ok");
  Args small{Text8(Local("small.bin")), S(u"small.bin"), Missing()};
  ASSERT_EQ(Run(u"GetFile", small), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(files_ / "small.bin"), "ok");
}

TEST_F(FtpControl, HostReleasingTheControlInsideAnEvent) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  peer.Put("rel.bin", RandomBytes(1 << 20, 4));
  ConnectTo(peer);
  Put(u"Priority", I4(1));  // progress events come mid-transfer
  // The fixture lets go of the control: the event's release is the host's last reference.
  sink_->Disconnect();
  sink_->Release();
  sink_ = nullptr;
  IDispatch* control = control_;
  control_ = nullptr;
  plat::com::EventSink* sink = plat::com::EventSink::Create(filexfer::DIID__IFileTransferEvents);
  int progress = 0;
  sink->On(kOnProgress, [&](const std::vector<const VARIANT*>&) {
    if (progress++ == 0) {
      sink->Disconnect();  // a host drops its sink and the control together
      control->Release();
    }
  });
  ASSERT_EQ(sink->Connect(control), S_OK);
  Var error;
  Args get{Text8(Local("rel.bin")), S(u"rel.bin"), Missing()};
  std::vector<VARIANT> a = get;
  a.push_back(error.ref());
  CallResult r;
  testhost::Call(control, u"GetFile", DISPATCH_METHOD, a, &r);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(progress, 1);
  // The transfer ran to its end before the control went away.
  EXPECT_EQ(ReadFile(files_ / "rel.bin").size(), size_t(1 << 20));
  sink->Release();
}

TEST_F(FtpControl, BackgroundTasksReportBeginAndEnd) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(400000, 5);
  peer.Put("task.bin", data);
  ConnectTo(peer);
  Args get{Text8(Local("task.bin")), S(u"task.bin"), Missing()};
  ASSERT_EQ(Run(u"AsyncGetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(Get(u"TaskCount"), "1");
  const std::string id = Get(u"TaskId");
  EXPECT_NE(id, "0");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnTaskEnd) == 1; })) << Get(u"LastErrorString");
  EXPECT_EQ(Count(kOnTaskBegin), 1);
  const Event* end = First(kOnTaskEnd);
  EXPECT_EQ(std::to_string(end->args[0].lVal), id);
  EXPECT_EQ(end->args[2].lVal, 0);
  EXPECT_EQ(Get(u"TaskCount"), "0");
  EXPECT_EQ(ReadFile(files_ / "task.bin"), data);
  Var done;
  ASSERT_EQ(Call(u"TaskDone", {Missing(), done.ref()}), S_OK);
  EXPECT_EQ(done.v.boolVal, VARIANT_TRUE);

  // A failing task: TaskWait reports its full code and raises nothing for the wait.
  Args bad{Text8(Local("x.bin")), S(u"no-such.bin"), Missing()};
  ASSERT_EQ(Run(u"AsyncGetFile", bad), S_OK);
  Var elapsed, taskError;
  ASSERT_EQ(Run(u"TaskWait", {Missing(), I4(20000), elapsed.ref(), taskError.ref()}), S_OK);
  EXPECT_EQ(ErrorNumber(), 0);
  EXPECT_EQ(Get(u"TaskCount"), "0");
  // All ended: a wait for one task reports its result.
  std::string badId = Get(u"TaskId");
  ASSERT_EQ(Run(u"TaskWait", {I4(std::stoi(badId)), I4(1000), elapsed.ref(), taskError.ref()}), S_OK);
  EXPECT_EQ(uint32_t(taskError.v.lVal) & 0xFFFF0000u, 0x80040000u);  // the full code
  // The end notification posted while events were held back is dropped: the id left
  // the list through the wait's pruning.
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(Count(kOnTaskEnd), 1);
}

TEST_F(FtpControl, TaskAbortOfAnEndedTaskAndResetOfTasks) {
  FtpPeer peer(FtpPeerKind::Proftpd);
  CV_START_PEER(peer);
  const std::string data = RandomBytes(2 << 20, 6);
  peer.Put("long.bin", data);
  ConnectTo(peer);
  Args get{Text8(Local("long.bin")), S(u"long.bin"), Missing()};
  ASSERT_EQ(Run(u"AsyncGetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  const int32_t id = std::stoi(Get(u"TaskId"));
  // Without arguments the wait is for every listed task, without a limit.
  ASSERT_EQ(Run(u"TaskWait", {Missing(), Missing(), Missing(), Missing()}), S_OK);
  EXPECT_EQ(ErrorNumber(), 0);
  EXPECT_EQ(Get(u"TaskCount"), "0");
  EXPECT_EQ(ReadFile(files_ / "long.bin"), data);
  Var done;
  ASSERT_EQ(Call(u"TaskDone", {I4(id), done.ref()}), S_OK);
  EXPECT_EQ(done.v.boolVal, VARIANT_TRUE);
  ASSERT_EQ(Run(u"TaskAbort", {I4(id), Missing()}), S_OK);
  EXPECT_EQ(ErrorNumber(), 12402);
  ASSERT_EQ(Run(u"TaskSuspend", {I4(id)}), S_OK);
  EXPECT_NE(ErrorNumber(), 0);  // an ended task cannot be suspended

  // Reset ends listed tasks and restores every default, the libraries staying attached.
  Put(u"Timeout", I4(45));
  ASSERT_EQ(Run(u"AsyncGetFile", get), S_OK);
  ASSERT_EQ(Call(u"Reset", {}), S_OK);
  EXPECT_EQ(Get(u"TaskCount"), "0");
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"Timeout"), "20");
  EXPECT_EQ(Get(u"ServerType"), "0");
  EXPECT_EQ(Get(u"IsInitialized"), "True");
}

}  // namespace
}  // namespace xfertest
