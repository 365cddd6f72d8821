// SIGINT and SIGTERM stop the command-line host while a step blocks: the step is cancelled
// through the control, the control released, and the host exits with 128 + the signal.
#include <gtest/gtest.h>

#include "guide_runner.h"

namespace {

using guidetest::GuideTest;
using guidetest::Outcome;
using Clock = std::chrono::steady_clock;

struct Stopped {
  Outcome outcome;
  double seconds = 0;  // from the signal to the host's end
};

class HostSignalTest : public GuideTest {
 protected:
  // Runs the host with the steps until its output shows ready, then sends the signal.
  Stopped RunUntil(const std::string& steps, const std::string& ready, int signo) {
    guidetest::Script host(dir_, "host", "exec cvhost " + steps, {});
    EXPECT_TRUE(guidetest::WaitFor([&] { return host.out().find(ready) != std::string::npos; })) << host.out();
    return Signal(host, signo);
  }
  static Stopped Signal(guidetest::Script& host, int signo) {
    const auto start = Clock::now();
    Stopped s;
    s.outcome = host.Finish(signo);
    s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return s;
  }
};

// A listener that accepts and then says nothing, as a hung server does.
class SilentServer {
 public:
  SilentServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr*>(&a), size);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    if (client_ >= 0) close(client_);
    close(listener_);
  }
  uint16_t port() const { return port_; }
  // Takes the host's connection, so that it now waits for the first reply.
  bool Accept() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) return false;
    client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
  }

 private:
  int listener_ = -1, client_ = -1;
  uint16_t port_ = 0;
};

TEST_F(HostSignalTest, ASignalCancelsAStalledDownloadAndEndsTheHost) {
  cvpeers::PeerProcess nginx(guidetest::SlowNginx(false));
  CV_START_PEER(nginx);
  guidetest::WriteFile(nginx.dir() / "www/slow/big.bin", std::string(16u << 20, 'b'));
  for (int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    const std::string port = std::to_string(nginx.port());
    Stopped s = RunUntil("Corvanetics.FileTransfer ServerType=fileServerHTTP 'Connect(\"127.0.0.1\", " + port +
                             ")' 'GetFile(\"big.bin\", \"/slow/big.bin\")' '?Timeout'",
                         "event OnProgress", signo);
    EXPECT_EQ(s.outcome.status, 128 + signo) << s.outcome.err;
    EXPECT_LT(s.seconds, 5.0);
    // Ended by the control's Cancel, not by the host giving up on the step.
    EXPECT_NE(s.outcome.out.find("event OnCancel\n"), std::string::npos) << s.outcome.out;
    EXPECT_EQ(s.outcome.err.find("did not end"), std::string::npos) << s.outcome.err;
    EXPECT_NE(s.outcome.err.find("stopped by signal " + std::to_string(signo) + "\n"), std::string::npos);
    EXPECT_EQ(s.outcome.out.find("Timeout ="), std::string::npos) << "a step after the signal ran";
  }
}

// A connect whose server never greets ends on the signal, whatever the control's Timeout.
TEST_F(HostSignalTest, ASignalEndsAStalledConnect) {
  struct Case {
    const char* steps;
    int signo;
  } cases[] = {
      {"Corvanetics.FileTransfer Timeout=60 'Connect(\"127.0.0.1\", PORT)'", SIGINT},
      {"Corvanetics.PopClient Timeout=60 'HostName=\"127.0.0.1\"' RemotePort=PORT 'Connect()'", SIGTERM},
      {"Corvanetics.InternetMail ServerType=mailServerImap4 Timeout=60 'Connect(\"127.0.0.1\", PORT, \"u\", \"p\")'",
       SIGINT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    SilentServer server;
    std::string steps = c.steps;
    steps.replace(steps.find("PORT"), 4, std::to_string(server.port()));
    guidetest::Script host(dir_, "host", "exec cvhost " + steps, {});
    ASSERT_TRUE(server.Accept());
    Stopped s = Signal(host, c.signo);
    EXPECT_EQ(s.outcome.status, 128 + c.signo) << s.outcome.err;
    EXPECT_LT(s.seconds, 5.0);
  }
}

}  // namespace
