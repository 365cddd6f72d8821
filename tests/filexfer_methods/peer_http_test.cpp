// The control over HTTP against nginx on loopback: downloads and uploads through URL
// arguments with implicit connections, memory transfers, sizes, deletion, a redirect
// taken as it is, progress events, and the FTP-only methods refused.
#include <cstdlib>
#include <memory>

#include "filexfer_methods/control_fixture.h"
#include "http/nginx_peer.h"

namespace xfertest {
namespace {

class HttpControl : public ControlFixture {
 protected:
  void SetUp() override {
    ControlFixture::SetUp();
    if (HasFatalFailure()) return;
    peer_ = std::make_unique<cvpeers::PeerProcess>(httptest::NginxOptions());
    CV_START_PEER(*peer_);
    www_ = peer_->dir() / "www";
    fs::create_directories(www_ / "dav");
  }
  std::string Url(const std::string& path) const {
    return "http://" + peer_->address() + ":" + std::to_string(peer_->port()) + path;
  }
  HRESULT Run(const char16_t* method, std::vector<VARIANT> args) {
    VariantClear(&error_.v);
    args.push_back(error_.ref());
    return Call(method, args);
  }
  int32_t ErrorNumber() const { return error_.v.vt == VT_I4 ? error_.v.lVal : -1; }

  std::unique_ptr<cvpeers::PeerProcess> peer_;
  fs::path www_;
  Var error_;
};

TEST_F(HttpControl, FilesThroughUrlArgumentsWithImplicitConnections) {
  std::string body(3 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7 + (i >> 10));
  WriteFile(www_ / "large.bin", body);

  Args get{Text8(Local("large.bin")), Text8(Url("/large.bin")), Missing()};
  ASSERT_EQ(Run(u"GetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(files_ / "large.bin"), body);
  EXPECT_EQ(Get(u"ServerType"), "2");
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"TransferBytes"), std::to_string(body.size()));
  ASSERT_GE(Count(kOnProgress), 1);
  const Event* progress = nullptr;
  for (const Event& e : events_)
    if (e.id == kOnProgress) progress = &e;
  EXPECT_EQ(Utf8(progress->args[0]), "/large.bin");
  EXPECT_EQ(progress->args[1].vt, VT_I4);
  EXPECT_EQ(progress->args[3].lVal, 100);

  // Upload into the WebDAV folder, read its size, delete it.
  Args put{Text8(Local("large.bin")), Text8(Url("/dav/up.bin")), Missing()};
  ASSERT_EQ(Run(u"PutFile", put), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(www_ / "dav" / "up.bin"), body);
  Var size;
  Args sizeOf{Text8(Url("/dav/up.bin"))};
  ASSERT_EQ(Run(u"GetFileSize", {sizeOf.v[0], size.ref()}), S_OK);
  EXPECT_EQ(size.v.lVal, int32_t(body.size()));
  Args del{Text8(Url("/dav/up.bin"))};
  ASSERT_EQ(Run(u"DeleteFile", del), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_FALSE(fs::exists(www_ / "dav" / "up.bin"));
  EXPECT_EQ(Get(u"IsConnected"), "False");

  // A missing resource: the status becomes the error, raised after the disconnect.
  Args missing{Text8(Local("none.bin")), Text8(Url("/none.bin")), Missing()};
  ASSERT_EQ(Run(u"GetFile", missing), S_OK);
  EXPECT_NE(ErrorNumber(), 0);
  EXPECT_EQ(Get(u"LastError"), std::to_string(ErrorNumber()));
  EXPECT_EQ(events_.back().id, kOnError);
}

TEST_F(HttpControl, OpenConnectionMemoryTransfersRedirectAndRefusals) {
  WriteFile(www_ / "small.txt", "line one\nline two\n");
  Args connect{Text8(peer_->address()), I4(peer_->port()), Missing(), Missing(), I4(10), Missing()};
  Put(u"ServerType", I4(2));
  ASSERT_EQ(Run(u"Connect", connect), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  ASSERT_EQ(Get(u"IsConnected"), "True");

  Var text;
  Args small{S(u"/small.txt")};
  ASSERT_EQ(Run(u"GetData", {small.v[0], text.ref(), Missing(), Missing()}), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(Text(text.v), u"line one\nline two\n");

  Args putData{S(u"/dav/data.txt"), S(u"caf\u00e9")};
  ASSERT_EQ(Run(u"PutData", {putData.v[0], putData.v[1], Missing(), Missing()}), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(www_ / "dav" / "data.txt"), "caf\xC3\xA9");

  // A redirect completes with its status: the body of the 302 is what arrives.
  Args moved{Text8(Local("moved.html")), S(u"/moved"), Missing()};
  ASSERT_EQ(Run(u"GetFile", moved), S_OK);
  EXPECT_EQ(ErrorNumber(), 0);
  EXPECT_EQ(Get(u"ResultCode"), "302");
  EXPECT_NE(ReadFile(files_ / "moved.html").find("302"), std::string::npos);

  // An empty local name fails before any request.
  Args noName{S(u""), S(u"/small.txt"), Missing()};
  ASSERT_EQ(Run(u"GetFile", noName), S_OK);
  EXPECT_EQ(ErrorNumber(), 10003);

  // FTP-only methods refuse; HTTP verification knows only the default method.
  ClearEvents();
  Args cmd{S(u"NOOP")};
  ASSERT_EQ(Run(u"Command", cmd), S_OK);
  EXPECT_EQ(ErrorNumber(), 12201);
  Var list;
  ASSERT_EQ(Run(u"GetFileList", {Missing(), list.ref(), Missing(), Missing()}), S_OK);
  EXPECT_EQ(ErrorNumber(), 12201);
  EXPECT_EQ(Count(kOnError), 2);
  WriteFile(files_ / "same.txt", "line one\nline two\n");
  Args verify{Text8(Local("same.txt")), S(u"/small.txt"), Missing()};
  ASSERT_EQ(Run(u"VerifyFile", verify), S_OK);
  EXPECT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  Args verifyCrc{Text8(Local("same.txt")), S(u"/small.txt"), I4(2)};
  ASSERT_EQ(Run(u"VerifyFile", verifyCrc), S_OK);
  EXPECT_EQ(ErrorNumber(), 10014);
  EXPECT_EQ(Get(u"IsConnected"), "True");
  ASSERT_EQ(Run(u"Disconnect", {}), S_OK);
}

// After a method that connected for itself to an https URL, the security properties still
// describe the connection that served it; an explicit Disconnect forgets them.
TEST_F(HttpControl, HttpsUrlArgumentLeavesItsSecurityReadable) {
  auto tls = std::make_unique<cvpeers::PeerProcess>(httptest::NginxOptions(AF_INET, true));
  const std::string dir = tls->dir().string();
  if (std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" + dir +
                   "/key.pem' -out '" + dir + "/cert.pem' >/dev/null 2>&1")
                      .c_str()) != 0)
    GTEST_SKIP() << "openssl cannot make a test certificate";
  CV_START_PEER(*tls);
  fs::create_directories(tls->dir() / "www");
  WriteFile(tls->dir() / "www" / "s.txt", "secure");
  const std::string url = "https://127.0.0.1:" + std::to_string(tls->port()) + "/s.txt";
  Args get{Text8(Local("s.txt")), Text8(url), Missing()};
  ASSERT_EQ(Run(u"GetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  EXPECT_EQ(ReadFile(files_ / "s.txt"), "secure");
  EXPECT_EQ(Get(u"IsConnected"), "False");
  EXPECT_EQ(Get(u"CertificateStatus"), "5");  // self-signed: untrusted
  EXPECT_EQ(Get(u"SecureCipher"), "64");      // AES
  EXPECT_NE(Get(u"CertificateExpires"), "");
  EXPECT_NE(Get(u"CertificateSubject").find("localhost"), std::string::npos) << Get(u"CertificateSubject");
  EXPECT_NE(Get(u"CertificateIssuer").find("localhost"), std::string::npos) << Get(u"CertificateIssuer");
  ASSERT_EQ(Run(u"Disconnect", {}), S_OK);
  EXPECT_EQ(Get(u"CertificateStatus"), "0");
  EXPECT_EQ(Get(u"CertificateSubject"), "");
}

TEST_F(HttpControl, BackgroundDownloadOverHttp) {
  WriteFile(www_ / "t.bin", std::string(200000, 'z'));
  Args connect{Text8(peer_->address()), I4(peer_->port()), Missing(), Missing(), I4(10), Missing()};
  Put(u"ServerType", I4(2));
  ASSERT_EQ(Run(u"Connect", connect), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  Args get{Text8(Local("t.bin")), S(u"/t.bin"), Missing()};
  ASSERT_EQ(Run(u"AsyncGetFile", get), S_OK);
  ASSERT_EQ(ErrorNumber(), 0) << Get(u"LastErrorString");
  ASSERT_TRUE(PumpUntil([&] { return Count(kOnTaskEnd) == 1; }));
  EXPECT_EQ(Count(kOnTaskBegin), 1);
  EXPECT_EQ(First(kOnTaskEnd)->args[2].lVal, 0);
  EXPECT_EQ(ReadFile(files_ / "t.bin"), std::string(200000, 'z'));
  EXPECT_EQ(Get(u"TaskCount"), "0");
}

}  // namespace
}  // namespace xfertest
