// The control as a TLS server for openssl s_client on both loopbacks, and socat as a plain
// client.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "peers/peer.h"
#include "server_host.h"
#include "test_pki.h"

namespace {

using namespace tcpsrvtest;

// Runs a shell command in the background; its output lands in a file the test reads.
class Command {
 public:
  Command(const std::string& command, const std::filesystem::path& out) : out_(out) {
    pipe_ = ::popen((command + " > " + out.string() + " 2>/dev/null; echo done").c_str(), "r");
  }
  ~Command() {
    if (pipe_) ::pclose(pipe_);
  }
  bool Finished() {
    pollfd p{::fileno(pipe_), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }
  std::string Output() {
    std::ifstream f(out_);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  std::filesystem::path out_;
  FILE* pipe_ = nullptr;
};

// Answers every line with "pong: " and the line.
class Peers : public ServerHost {
 protected:
  void SetUp() override {
    ServerHost::SetUp();
    actions[kRead] = [this](int32_t h) {
      if (Show(u"IsReadable") != "True") return;
      VARIANT line{};
      if (Result(u"ReadLine", {I4(h), Ref(&line)}) == "True") {
        VARIANT reply = Str((u"pong: " + Text(line)).c_str());
        Result(u"WriteLine", {I4(h), reply});
        if (closeAfterReply) Result(u"Disconnect", {I4(h)});
      }
      VariantClear(&line);
    };
  }
  bool closeAfterReply = false;
  // Runs the client command while serving the control's events; its output.
  std::string Run(const std::string& command) {
    Command c(command, dir_ / "client.out");
    EXPECT_TRUE(PumpUntil([&] { return c.Finished(); }, 30000));
    return c.Output();
  }
};

TEST_F(Peers, OpensslClientOverTlsOnBothLoopbacks) {
  if (cvpeers::FindProgram("openssl").empty()) GTEST_SKIP() << "openssl not installed";
  testpki::TestPki pki;
  const std::filesystem::path pem = pki.Issue("server", testpki::CertSpec{});
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  ASSERT_EQ(Put(u"CertificateStore", Str(plat::ToUtf16(pem.string()).c_str())), S_OK);
  ASSERT_EQ(Put(u"CertificateName", Str(u"localhost")), S_OK);
  closeAfterReply = true;  // the client leaves when the server closes
  for (const char16_t* address : {u"127.0.0.1", u"::1"}) {
    const std::string host = plat::ToUtf8(address);
    SCOPED_TRACE(host);
    if (host == "::1" && !cvpeers::LoopbackAvailable(AF_INET6)) continue;
    const uint32_t port = StartOn(address);
    ASSERT_NE(port, 0u);
    const std::string target = host == "::1" ? "[::1]" : host;
    const std::string out = Run("echo ping | timeout 20 openssl s_client -connect " + target + ":" +
                                std::to_string(port) + " -tls1_2 -quiet");
    EXPECT_NE(out.find("pong: ping"), std::string::npos) << out;
  }
}

TEST_F(Peers, WrongCertificateNameFailsTheStart) {
  testpki::TestPki pki;
  const std::filesystem::path pem = pki.Issue("server", testpki::CertSpec{});
  ASSERT_EQ(Put(u"Secure", Bool(true)), S_OK);
  ASSERT_EQ(Put(u"CertificateStore", Str(plat::ToUtf16(pem.string()).c_str())), S_OK);
  ASSERT_EQ(Put(u"CertificateName", Str(u"no such certificate")), S_OK);
  EXPECT_NE(Result(u"Start", {Str(u"127.0.0.1"), I4(0)}), "0");
  EXPECT_EQ(Show(u"State"), "0");
  EXPECT_EQ(Count(kError), 1);
}

TEST_F(Peers, SocatClientsOnBothLoopbacks) {
  if (cvpeers::FindProgram("socat").empty()) GTEST_SKIP() << "socat not installed";
  for (const char16_t* address : {u"127.0.0.1", u"::1"}) {
    const std::string host = plat::ToUtf8(address);
    SCOPED_TRACE(host);
    if (host == "::1" && !cvpeers::LoopbackAvailable(AF_INET6)) continue;
    const uint32_t port = StartOn(address);
    const std::string target = host == "::1" ? "TCP6:[::1]:" : "TCP4:127.0.0.1:";
    const std::string out =
        Run("printf 'one\\ntwo\\n' | timeout 20 socat -t 2 - " + target + std::to_string(port));
    EXPECT_EQ(out, "pong: one\r\npong: two\r\n");
  }
}

}  // namespace
