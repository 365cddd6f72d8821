// The method frame without a server: URL adoption into the properties, the protocol and
// connection gates, argument refusals, and failed connections (a closed loopback port).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "filexfer_methods/control_fixture.h"

namespace xfertest {
namespace {

// A loopback port nobody listens on: bound, read and closed again.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

using FrameTest = ControlFixture;

TEST_F(FrameTest, UrlPropertyFillsAndComposesTheConnectionProperties) {
  struct {
    const char* url;
    HRESULT hr;
    std::vector<std::pair<const char16_t*, const char*>> expect;
  } cases[] = {
      {"ftp://127.0.0.1/pub/file.txt", S_OK,
       {{u"ServerType", "1"}, {u"ServerName", "127.0.0.1"}, {u"ServerPort", "21"}, {u"UserName", "anonymous"},
        {u"Password", "gast@"}, {u"Resource", "pub/file.txt"}, {u"Secure", "False"}, {u"FileType", "3"}}},
      {"ftp://joe:pw@127.0.0.1:2121/a.bin;type=a", S_OK,
       {{u"UserName", "joe"}, {u"Password", "pw"}, {u"ServerPort", "2121"}, {u"Resource", "a.bin"},
        {u"FileType", "1"}}},
      // ftps names implicit TLS on its default port 990, explicit TLS on any other.
      {"ftps://127.0.0.1:21/x", S_OK, {{u"Options", "12288"}, {u"Secure", "True"}, {u"SecureProtocol", "16"}}},
      {"ftps://127.0.0.1/x", S_OK, {{u"Options", "4096"}, {u"ServerPort", "990"}, {u"Secure", "True"}}},
      {"sftp://u@127.0.0.1/home/u/f", S_OK, {{u"Options", "20480"}, {u"ServerPort", "22"}, {u"Password", ""}}},
      {"https://127.0.0.1/a/../b/c?x=1&y=2", S_OK,
       {{u"ServerType", "2"}, {u"ServerPort", "443"}, {u"Secure", "True"}, {u"Resource", "/b/c?x=1&y=2"}}},
      {"/only/the/resource", S_OK, {{u"Resource", "/only/the/resource"}, {u"ServerType", "2"}}},
      {"gopher://127.0.0.1/", HRESULT(0x800A017C), {{u"ServerType", "2"}, {u"ServerName", "127.0.0.1"}}},
      {"", S_OK,
       {{u"ServerType", "0"}, {u"ServerName", ""}, {u"ServerPort", "0"}, {u"Resource", ""}, {u"Secure", "False"},
        {u"Options", "0"}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(PutText(u"URL", c.url), c.hr);
    for (auto [name, value] : c.expect) EXPECT_EQ(Get(name), value) << plat::ToUtf8(name);
  }

  // Composed back: the anonymous user is left out, a secure shell choice gives sftp.
  PutText(u"URL", "ftp://127.0.0.1:2121/dir/f.txt");
  EXPECT_EQ(Get(u"URL"), "ftp://127.0.0.1:2121/dir/f.txt");
  Put(u"Options", I4(0x4000));
  EXPECT_EQ(Get(u"URL"), "sftp://127.0.0.1:2121/dir/f.txt");
  PutText(u"URL", "http://u:p@127.0.0.1:8080/q?a=1");
  EXPECT_EQ(Get(u"URL"), "http://u:p@127.0.0.1:8080/q?a=1");
}

TEST_F(FrameTest, GatesReportTheirErrorThroughErrorLastErrorAndOnError) {
  struct {
    int32_t serverType;
    const char16_t* method;
    int32_t error;      // what Error shows
    int32_t lastError;  // what LastError and OnError show
  } cases[] = {
      {1, u"GetMultipleFiles", 10038, 10057}, {2, u"GetMultipleFiles", 12201, 12201},
      {1, u"MakeDirectory", 10038, 10057},    {2, u"MakeDirectory", 12201, 12201},
      {1, u"ChangeDirectory", 10057, 10057},  {2, u"ChangeDirectory", 12201, 12201},
      {1, u"CloseDirectory", 10057, 10057},   {1, u"OpenDirectory", 10057, 10057},
      {2, u"RenameFile", 12201, 12201},       {2, u"SetFilePermissions", 12201, 12201},
      {2, u"GetFileStatus", 12201, 12201},    {1, u"PostFile", 12201, 12201},
      {1, u"GetFileTime", 10038, 10057},      {0, u"MakeDirectory", 12201, 10041},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(plat::ToUtf8(c.method) + " type " + std::to_string(c.serverType));
    Put(u"ServerType", I4(c.serverType));
    ClearEvents();
    Var error;
    std::vector<VARIANT> args;
    if (std::u16string(c.method) == u"GetMultipleFiles") args = {S(u"d"), S(u"r"), Missing()};
    if (std::u16string(c.method) == u"RenameFile") args = {S(u"a"), S(u"b")};
    if (std::u16string(c.method) == u"SetFilePermissions") args = {S(u"a"), I4(0644)};
    if (std::u16string(c.method) == u"PostFile") args = {S(u"a"), S(u"b"), Missing(), Missing()};
    if (std::u16string(c.method) == u"GetFileStatus")
      args = {S(u"a"), Missing(), Missing(), Missing(), Missing(), Missing(), Missing()};
    if (std::u16string(c.method) == u"MakeDirectory" || std::u16string(c.method) == u"ChangeDirectory" ||
        std::u16string(c.method) == u"GetFileTime")
      args = {S(u"d")};
    Var date;
    if (std::u16string(c.method) == u"GetFileTime") args.push_back(date.ref());
    if (std::u16string(c.method) == u"OpenDirectory") args = {S(u"d"), Missing()};
    args.push_back(error.ref());
    EXPECT_EQ(Call(c.method, args), S_OK);
    for (VARIANT& a : args)
      if (a.vt == VT_BSTR) VariantClear(&a);
    EXPECT_EQ(error.v.vt, VT_I4);
    EXPECT_EQ(error.v.lVal, c.error);
    // An undefined server type raises the control's own error for "no library".
    EXPECT_EQ(Get(u"LastError"), c.lastError == 10041 ? "10041" : std::to_string(c.lastError));
    ASSERT_EQ(Count(kOnError), 1);
  }
}

TEST_F(FrameTest, ArgumentRefusalsReturnAtOnceWithoutRaising) {
  Put(u"ServerType", I4(1));
  Var error;
  // An output that cannot take the result, a missing buffer, bad file types. (The BSTRs
  // of these calls are left to the process: a handful of bytes.)
  EXPECT_EQ(Call(u"GetFileSize", Args{S(u"f"), Missing(), error.ref()}), E_INVALIDARG);
  EXPECT_EQ(Call(u"GetFileList", Args{S(u"."), Missing(), Missing(), Missing(), error.ref()}), E_INVALIDARG);
  Var twoDim;
  SAFEARRAYBOUND b[2] = {{2, 0}, {2, 0}};
  twoDim.v.vt = VT_ARRAY | VT_UI1;
  twoDim.v.parray = SafeArrayCreate(VT_UI1, 2, b);
  EXPECT_EQ(Call(u"PutData", Args{S(u"f"), twoDim.v, Missing(), Missing(), error.ref()}), HRESULT(0x800A0005));
  EXPECT_EQ(Call(u"PutData", Args{S(u"f"), I4(5), Missing(), Missing(), error.ref()}), E_INVALIDARG);
  EXPECT_EQ(Call(u"AddFileType", Args{S(u"txt"), I4(0)}), E_INVALIDARG);
  EXPECT_EQ(Call(u"AddFileType", Args{S(u""), I4(1)}), E_INVALIDARG);
  EXPECT_EQ(Call(u"AddFileType", Args{S(u"cvtxt"), Missing()}), S_OK);
  EXPECT_EQ(Call(u"GetDirectory", {Missing(), error.ref()}), E_INVALIDARG);
  EXPECT_EQ(Call(u"SetFileTime", Args{S(u"f"), S(u"no date at all"), error.ref()}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Call(u"GetFile", Args{S(u"f"), S(u"ftp://[bad")}), HRESULT(0x800A017C));
  EXPECT_EQ(error.v.lVal, 0);
  EXPECT_EQ(Count(kOnError), 0);
}

TEST_F(FrameTest, FailedConnectionsReportTheConnectError) {
  const int port = ClosedPort();
  // An implicit connection that fails returns its error to the host, fires nothing and
  // leaves Error 0; the URL stays in the properties.
  Var error;
  const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/f.txt";
  Args get{Text8(Local("f.txt")), Text8(url)};
  std::vector<VARIANT> args = get;
  args.push_back(error.ref());
  EXPECT_EQ(Call(u"GetFile", args), HRESULT(0x800A0000 | 10061));
  EXPECT_EQ(error.v.lVal, 0);
  EXPECT_EQ(Count(kOnError), 0);
  EXPECT_EQ(Get(u"LastError"), "10061");
  EXPECT_EQ(Get(u"ServerPort"), std::to_string(port));
  EXPECT_EQ(Get(u"Resource"), "f.txt");
  EXPECT_EQ(Get(u"IsConnected"), "False");

  // Connect reports it as a method failure: Error, OnError once, S_OK unless ThrowError.
  PutText(u"URL", "");
  Args connect{S(u"127.0.0.1"), I4(port), Missing(), Missing(), I4(5), I4(0x2000)};
  args = connect;
  args.push_back(error.ref());
  EXPECT_EQ(Call(u"Connect", args), S_OK);
  EXPECT_EQ(error.v.lVal, 10061);
  EXPECT_EQ(Count(kOnError), 1);
  EXPECT_EQ(Get(u"ServerType"), "1");  // any port but 80 and 443 chooses FTP
  EXPECT_EQ(Get(u"Options"), "12288");
  EXPECT_EQ(Get(u"Secure"), "True");

  // The secure shell bit is not widened here, and Secure stays as it was.
  Put(u"ThrowError", I4(1));
  Put(u"Secure", I4(0));
  Args again{Missing(), Missing(), Missing(), Missing(), Missing(), I4(0x4000)};
  args = again;
  args.push_back(error.ref());
  CallResult r;
  const HRESULT hr = Call(u"Connect", args, &r);
  EXPECT_NE(error.v.lVal, 0);
  EXPECT_EQ(hr, HRESULT(0x800A0000 | uint32_t(error.v.lVal)));
  EXPECT_EQ(std::u16string(r.excep.bstrSource), u"Corvanetics.FileTransfer.9");
  EXPECT_EQ(Get(u"Options"), "16384");
  EXPECT_EQ(Get(u"Secure"), "False");
  EXPECT_EQ(Count(kOnError), 2);
}

TEST_F(FrameTest, IdleControlAnswersTaskAndCancelCallsQuietly) {
  Var error, done;
  EXPECT_EQ(Call(u"Cancel", {error.ref()}), S_OK);
  EXPECT_EQ(Call(u"TaskDone", {I4(4242), done.ref()}), S_OK);
  EXPECT_EQ(done.v.vt, VT_BOOL);
  EXPECT_EQ(done.v.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Count(kOnError), 0);
  // A background transfer needs a connection: 10057 raised, Error left 0.
  Put(u"ServerType", I4(1));
  EXPECT_EQ(Call(u"AsyncGetFile", Args{S(u"a"), S(u"b"), Missing(), error.ref()}), S_OK);
  EXPECT_EQ(error.v.lVal, 0);
  EXPECT_EQ(Get(u"LastError"), "10057");
  EXPECT_EQ(Count(kOnError), 1);
  EXPECT_EQ(Get(u"TaskCount"), "0");
}

}  // namespace
}  // namespace xfertest
