// The user guide's examples, taken from docs/guide.md and run through the command-line
// host against real servers on loopback, so that the guide cannot drift from the system.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

// GCC 12 reports a false "may be used uninitialized" inside std::regex's own automaton.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "dovecot_peer.h"
#include "guide_runner.h"
#include "http/nginx_peer.h"
#include "imap/dovecot_imap_peer.h"
#include "sftp_sshd.h"
#include "smtp/exim_peer.h"
#include "support/ftp_peers.h"
#include "time/xinetd_peer.h"

namespace {

using guidetest::Accepts;
using guidetest::GuideTest;
using guidetest::Outcome;
using guidetest::SlowNginx;
using guidetest::WriteFile;
namespace fs = std::filesystem;

TEST_F(GuideTest, FtpDownloadAndUploadWithProgress) {
  cvtest::FtpPeer ftp(cvtest::FtpPeerKind::Proftpd);
  CV_START_PEER(ftp);
  const std::string report(70000, 'r');
  ftp.Put("report.txt", report);
  Outcome run = RunExample("ftp-transfer", {{"PORT", std::to_string(ftp.port())},
                                            {"FTP_USER", cvtest::kFtpPeerUser},
                                            {"FTP_PASSWORD", cvtest::kFtpPeerPassword}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("event OnProgress: FileName=\"report.txt\", FileSize=70000, BytesCopied=70000, Percent=100\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("FileSize = 70000\n"), std::string::npos) << run.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "report.txt"), report);
  EXPECT_EQ(guidetest::Slurp(ftp.root() / "report-copy.txt"), report);
}

// Image type uploads a text file byte for byte to a stock vsftpd, which stores text as it
// arrives.
TEST_F(GuideTest, FtpExactCopyInImageType) {
  cvtest::FtpPeer ftp(cvtest::FtpPeerKind::Vsftpd);
  CV_START_PEER(ftp);
  std::string notes;
  for (int i = 0; i < 100; ++i) notes += "line " + std::to_string(i) + "\n";
  WriteFile(dir_ / "notes.txt", notes);
  Outcome run = RunExample("ftp-exact-copy", {{"PORT", std::to_string(ftp.port())},
                                              {"FTP_USER", ftp.user()},
                                              {"FTP_PASSWORD", ftp.password()},
                                              {"REMOTE_DIR", ftp.uploadDir()}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("FileSize = " + std::to_string(notes.size()) + "\n"), std::string::npos) << run.out;
  EXPECT_EQ(guidetest::Slurp(ftp.root() / ftp.uploadDir() / "notes.txt"), notes);
}

// A self-signed certificate with its key in one PEM file, for a server that nobody trusts.
bool SelfSignedPem(const fs::path& dir, fs::path* pem) {
  const std::string d = dir.string();
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" + d +
                              "/key.pem' -out '" + d + "/cert.pem' >/dev/null 2>&1 && cat '" + d + "/cert.pem' '" + d +
                              "/key.pem' > '" + d + "/server.pem'";
  *pem = dir / "server.pem";
  return std::system(command.c_str()) == 0;
}

TEST_F(GuideTest, FtpsDownloadReadsTheCertificateStatusFirst) {
  fs::path pem;
  if (!SelfSignedPem(dir_, &pem)) GTEST_SKIP() << "openssl cannot make a test certificate";
  cvtest::FtpPeer ftp(cvtest::FtpPeerKind::Proftpd, AF_INET, cvtest::FtpPeerTls{pem, false, true, {}});
  CV_START_PEER(ftp);
  ftp.Put("report.txt", "over TLS\n");
  Outcome run = RunExample("ftps-transfer", {{"PORT", std::to_string(ftp.port())},
                                             {"FTP_USER", cvtest::kFtpPeerUser},
                                             {"FTP_PASSWORD", cvtest::kFtpPeerPassword}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("CertificateStatus = 5\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("event OnProgress: FileName=\"report.txt\", FileSize=9, BytesCopied=9, Percent=100\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "report.txt"), "over TLS\n");
  EXPECT_EQ(guidetest::Slurp(ftp.root() / "report-back.txt"), "over TLS\n");
}

TEST_F(GuideTest, SftpDownloadAndUpload) {
  sftptest::SftpSshd sshd;
  START_SFTP_SSHD(sshd);
  sftptest::WriteFile(sshd.files() / "notes.txt", "over SSH\n");
  Outcome run = RunExample("sftp-transfer", {{"PORT", std::to_string(sshd.peer().port())},
                                             {"SFTP_USER", sftptest::kUser},
                                             {"SFTP_PASSWORD", sftptest::kPassword},
                                             {"REMOTE_DIR", sshd.files().path().string()}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_search(run.out, std::regex("Fingerprint = \"[^\"]+\"\n"))) << run.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "notes.txt"), "over SSH\n");
  EXPECT_EQ(guidetest::Slurp(sshd.files() / "notes-copy.txt"), "over SSH\n");
}

TEST_F(GuideTest, CancelDuringALongDownloadLeavesTheControlUsable) {
  cvpeers::PeerProcess nginx(SlowNginx(false));
  CV_START_PEER(nginx);
  WriteFile(nginx.dir() / "www/slow/big.bin", std::string(16u << 20, 'b'));
  WriteFile(nginx.dir() / "www/small.txt", "line one\nline two\n");
  Outcome run = RunExample("cancel-download", {{"PORT", std::to_string(nginx.port())}});
  EXPECT_EQ(run.status, 0) << run.err;
  // The cancelled download reports through OnCancel and its Error argument; the next one runs.
  EXPECT_TRUE(std::regex_search(run.out, std::regex("event OnCancel\n(.*\n)*Error = [1-9]\\d*\n"))) << run.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "small.txt"), "line one\nline two\n");
}

// The connection is made, and the guide's expect step stops the run before the download.
TEST_F(GuideTest, HttpsDownloadStopsOnAnUntrustedCertificate) {
  cvpeers::PeerProcess nginx(httptest::NginxOptions(AF_INET, true));
  const std::string dir = nginx.dir().string();
  const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout '" +
                              dir + "/key.pem' -out '" + dir + "/cert.pem' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a test certificate";
  CV_START_PEER(nginx);
  WriteFile(nginx.dir() / "www/small.txt", "line one\nline two\n");
  Outcome run = RunExample("https-download", {{"PORT", std::to_string(nginx.port())}});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(run.err, "expect CertificateStatus=cvCertificateValid: CertificateStatus = 5\n");
  EXPECT_NE(run.out.find("CN=localhost"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(dir_ / "small.txt"));
}

// A server example runs until SIGTERM; its client examples fetch from it meanwhile.
struct Fetch {
  const char* example;
  const char* expected;
};

struct ServedCase {
  const char* label;
  std::vector<const char*> setups;
  const char* server;
  std::vector<Fetch> fetches;
};

void PrintTo(const ServedCase& c, std::ostream* os) { *os << c.label; }

class GuideServers : public GuideTest, public ::testing::WithParamInterface<ServedCase> {};

TEST_P(GuideServers, ServeAFolderUntilStopped) {
  const ServedCase& c = GetParam();
  const uint16_t port = cvpeers::FreePort();
  const std::map<std::string, std::string> vars{{"PORT", std::to_string(port)}};
  for (const char* setup : c.setups) ASSERT_EQ(RunExample(setup, vars).status, 0) << setup;
  // The server's command is one command: run in place of the shell, the signal reaches it.
  guidetest::Script server(dir_, c.server, "exec " + guidetest::Example(c.server), vars);
  ASSERT_GT(server.pid(), 0);
  ASSERT_TRUE(guidetest::WaitFor([&] { return Accepts(port); })) << server.Finish(SIGKILL).err;
  for (const Fetch& f : c.fetches) {
    Outcome fetch = RunExample(f.example, vars);
    EXPECT_EQ(fetch.status, 0) << f.example << ": " << fetch.err;
    EXPECT_EQ(fetch.out, f.expected) << f.example;
  }
  Outcome stopped = server.Finish(SIGTERM);
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_NE(stopped.err.find("stopped by signal 15"), std::string::npos) << stopped.err;
  EXPECT_FALSE(Accepts(port));
  // The FTP logins' password reaches OnAuthenticate, but never the terminal.
  EXPECT_EQ(stopped.out.find("secret"), std::string::npos) << stopped.out;
}

INSTANTIATE_TEST_SUITE_P(
    Guide, GuideServers,
    ::testing::Values(
        ServedCase{"Http",
                   {"http-server-setup"},
                   "http-server",
                   {{"http-server-fetch", "hello from the server\n"}, {"http-server-mirror", "deeper down\n"}}},
        ServedCase{"Https",
                   {"http-server-setup", "https-server-setup"},
                   "https-server",
                   {{"https-server-fetch", "hello from the server\ndeeper down\n"}}},
        ServedCase{"Ftp", {"ftp-server-setup"}, "ftp-server", {{"ftp-server-fetch", "hello over FTP\n"}}},
        ServedCase{"FtpWget", {"ftp-server-setup"}, "ftp-server-unix", {{"ftp-server-mirror", "hello over FTP\n"}}},
        ServedCase{"Echo", {}, "echo-server", {{"echo-server-fetch", "hello, echo\n"}}}),
    [](const auto& info) { return std::string(info.param.label); });

// Sends data to the loopback port and reads back as many bytes (or what came before the
// peer stopped answering).
std::string EchoThrough(uint16_t port, const std::string& data) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  std::string back;
  size_t sent = 0;
  while (back.size() < data.size()) {
    pollfd p{fd, short(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 10000) <= 0) break;
    if ((p.revents & POLLOUT) && sent < data.size()) {
      const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += size_t(n);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[65536];
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      back.append(buffer, size_t(n));
    }
  }
  close(fd);
  return back;
}

// Bytes that are not UTF-8 come back as they went: the host keeps the byte array it read.
TEST_F(GuideTest, EchoServerReturnsEveryByte) {
  const uint16_t port = cvpeers::FreePort();
  guidetest::Script server(dir_, "echo-server", "exec " + guidetest::Example("echo-server"),
                           {{"PORT", std::to_string(port)}});
  ASSERT_TRUE(guidetest::WaitFor([&] { return Accepts(port); })) << server.Finish(SIGKILL).err;
  const std::string latin1 = "h\xe9llo w\xf6rld";
  std::string random(100000, '\0');
  std::mt19937 bits(25);
  for (char& c : random) c = char(bits());
  EXPECT_EQ(EchoThrough(port, latin1), latin1);
  const std::string back = EchoThrough(port, random);
  EXPECT_EQ(back.size(), random.size());
  EXPECT_TRUE(back == random);
  Outcome stopped = server.Finish(SIGTERM);
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_NE(stopped.out.find("Buffer = b\"h\\xe9llo w\\xf6rld\"\n"), std::string::npos) << stopped.out.substr(0, 2000);
}

// The message sent through exim is put into a dovecot mailbox and read back over IMAP.
TEST_F(GuideTest, MailSendsAMessageWithAnAttachmentAndReadsItBackOverImap) {
  smtptest::EximPeer exim;
  CV_START_EXIM(exim);
  Outcome run = RunExample("mail-send", {{"PORT", std::to_string(exim.port())}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("event OnDelivered: Address=\"bob@example.org\""), std::string::npos) << run.out;
  const std::vector<std::string> copies = exim.Delivered(1);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0].find("Subject: figures\n"), std::string::npos) << copies[0];
  EXPECT_NE(copies[0].find("See the attachment."), std::string::npos) << copies[0];
  EXPECT_NE(copies[0].find("figures.txt"), std::string::npos) << copies[0];

  cvpeers::PeerProcess imap(imaptest::DovecotImapOptions(AF_INET));
  if (!imaptest::PrepareDovecot(imap, copies)) GTEST_SKIP() << "dovecot set-up not possible here";
  CV_START_PEER(imap);
  Outcome read = RunExample("mail-read", {{"PORT", std::to_string(imap.port())},
                                          {"MAIL_USER", imaptest::kDovecotUser},
                                          {"MAIL_PASSWORD", imaptest::kDovecotPassword}});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(std::regex_search(read.out, std::regex("MessageCount = 1\n(.*\n)*Subject = \"figures\"\n"
                                                     "Result = [1-9]\n(.*\n)*Result = 1\n")))
      << read.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "received" / "figures.txt"), "quarterly figures\n");
}

TEST_F(GuideTest, PopReadsAMailbox) {
  const std::string message = "From: a@example.org\r\nSubject: from the guide\r\n\r\nbody\r\n";
  cvpeers::PeerProcess peer(pop3test::DovecotOptions(AF_INET));
  if (!pop3test::PrepareDovecot(peer, {message})) GTEST_SKIP() << "dovecot set-up not possible here";
  CV_START_PEER(peer);
  Outcome run = RunExample("pop-read", {{"PORT", std::to_string(peer.port())},
                                        {"POP_USER", pop3test::kDovecotUser},
                                        {"POP_PASSWORD", pop3test::kDovecotPassword}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("MessageCount = 1\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(", Percent=100\n"), std::string::npos) << run.out;
  EXPECT_EQ(guidetest::Slurp(dir_ / "message.eml"), message);
}

TEST_F(GuideTest, TimeQuery) {
  cvpeers::PeerProcess server(timetest::XinetdTimeService());
  CV_START_PEER(server);
  // A datagram service shows no sign of being up but its answer: ask until it answers.
  Outcome run;
  const std::regex expect("Result = \"\\d{1,2}/\\d{1,2}/\\d{4} \\d{1,2}:\\d\\d:\\d\\d [AP]M\"\nLastError = 0\n");
  guidetest::WaitFor([&] {
    run = RunExample("time-query", {{"PORT", std::to_string(server.port())}});
    return std::regex_match(run.out, expect);
  });
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, expect)) << run.out;
}

}  // namespace
