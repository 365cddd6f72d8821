// Data connections and transfers: passive and active, restart offsets, ASCII line ends,
// refused third-party addresses, and clients that go away mid-transfer.
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "core/errors/error_codes.h"
#include "ftpsrv_util.h"

using namespace ftpsrvtest;

namespace {

class Transfer : public ServerTest {};

// A listening socket on 127.0.0.1 for active-mode connections; its port.
int ListenLocal(uint32_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
  ::listen(fd, 1);
  socklen_t length = sizeof in;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
  *port = ntohs(in.sin_port);
  return fd;
}

TEST_F(Transfer, PassiveUploadDownloadAndEvents) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  std::string payload(300000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7 + 3);
  std::string text;
  EXPECT_EQ(c.Upload("STOR big.bin", payload, &text), 226);
  EXPECT_EQ(text, "226 Transfer complete");
  EXPECT_EQ(ReadFile(root / "big.bin"), payload);
  std::string data;
  EXPECT_EQ(c.Download("RETR big.bin", &data), 226);
  EXPECT_EQ(data, payload);
  EXPECT_EQ(c.Upload("APPE big.bin", "tail"), 226);
  EXPECT_EQ(ReadFile(root / "big.bin"), payload + "tail");
  EXPECT_EQ(c.Upload("STOU", "unique", &text), 226);
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventUpload) == 3; }));
  const std::vector<uint32_t> codes = owner.Codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), ftpEventUpload), 3);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), ftpEventDownload), 1);
  // The pending event follows the result event of its command.
  auto download = std::find(codes.begin(), codes.end(), ftpEventDownload);
  ASSERT_NE(download, codes.begin());
  EXPECT_EQ(*(download - 1), ftpEventResult);
  EXPECT_EQ(c.Download("RETR missing", &data, &text), 550);
  EXPECT_EQ(text, "550 No such file or directory");
  // The listener stays for the next transfer until ABOR drops it.
  EXPECT_EQ(c.Cmd("ABOR", &text), 226);
  EXPECT_EQ(text, "226 Abort successful");
  EXPECT_EQ(c.Cmd("RETR big.bin", &text), 425);
  EXPECT_EQ(text, "425 Unable to build data connection");
  c.useEpsv = true;
  EXPECT_EQ(c.Download("RETR big.bin", &data), 226);
  EXPECT_EQ(data.size(), payload.size() + 4);
}

TEST_F(Transfer, RestartOffsets) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "fifty", std::string(50, 'x'));
  std::string data;
  EXPECT_EQ(c.Cmd("REST 100"), 350);
  EXPECT_EQ(c.Download("RETR fifty", &data), 226);
  EXPECT_EQ(data, "");
  EXPECT_EQ(c.Cmd("REST 45"), 350);
  EXPECT_EQ(c.Download("RETR fifty", &data), 226);
  EXPECT_EQ(data, "xxxxx");
  EXPECT_EQ(c.Cmd("REST 10"), 350);
  EXPECT_EQ(c.Upload("STOR fifty", "abc"), 226);
  EXPECT_EQ(ReadFile(root / "fifty"), std::string(10, 'x') + "abc");
  EXPECT_EQ(c.Upload("STOR fifty", "new"), 226);  // the offset served one transfer only
  EXPECT_EQ(ReadFile(root / "fifty"), "new");
  EXPECT_EQ(c.Cmd("REST -1"), 501);
}

TEST_F(Transfer, AsciiLineEnds) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "unix.txt", "one\ntwo\n\nthree");
  EXPECT_EQ(c.Cmd("TYPE A"), 200);
  std::string data;
  EXPECT_EQ(c.Download("RETR unix.txt", &data), 226);
  EXPECT_EQ(data, "one\r\ntwo\r\n\r\nthree");
  EXPECT_EQ(c.Upload("STOR dos.txt", "a\r\nb\r\n"), 226);
  EXPECT_EQ(ReadFile(root / "dos.txt"), "a\r\nb\r\n");
  std::string text;
  EXPECT_EQ(c.Cmd("TYPE L 8", &text), 200);
  EXPECT_EQ(text, "200 Type set to L8");
  EXPECT_EQ(c.Cmd("TYPE X", &text), 500);
  EXPECT_EQ(c.Download("RETR unix.txt", &data), 226);
  EXPECT_EQ(data, "one\ntwo\n\nthree");
  EXPECT_EQ(c.Cmd("MODE B", &text), 504);
  EXPECT_EQ(text, "504 MODE B unsupported transfer mode");
  EXPECT_EQ(c.Cmd("STRU R", &text), 504);
  EXPECT_EQ(c.Cmd("STRU F", &text), 200);
}

TEST_F(Transfer, ActiveModeOnlyToTheClientsOwnAddress) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "f.txt", "active data");
  std::string text;
  EXPECT_EQ(c.Cmd("PORT 4,0,0,0,4,0", &text), 502);
  EXPECT_EQ(text, "502 Invalid port number 1024");
  EXPECT_EQ(c.Cmd("PORT 127,0,0,1,4,1"), 200);
  EXPECT_EQ(c.Cmd("PORT 10,1,2,3,4,1", &text), 504);  // a third party
  EXPECT_EQ(c.Cmd("PORT 127,0,0,1,256,1"), 501);
  EXPECT_EQ(c.Cmd("PORT 127,0,0,1,4,1,9"), 501);
  EXPECT_EQ(c.Cmd("EPRT |1|192.0.2.7|2000|"), 504);
  EXPECT_EQ(c.Cmd("EPRT |2|::1|2000|", &text), 522);
  EXPECT_EQ(text, "522 Network protocol not supported, use (1)");
  EXPECT_EQ(c.Cmd("EPSV 2", &text), 522);
  EXPECT_EQ(c.Cmd("EPRT a1a127.0.0.1a2000a"), 501);  // A-F cannot delimit
  EXPECT_EQ(c.Cmd("EPRT |1|127.0.0.1|2000"), 501);

  uint32_t dataPort = 0;
  const int listener = ListenLocal(&dataPort);
  char port[64];
  std::snprintf(port, sizeof port, "PORT 127,0,0,1,%u,%u", dataPort >> 8, dataPort & 255);
  ASSERT_EQ(c.Cmd(port), 200);
  c.Send("RETR f.txt");
  const int d = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(d, 0);
  EXPECT_EQ(c.Reply(), 150);
  EXPECT_EQ(RecvAll(d), "active data");
  EXPECT_EQ(c.Reply(), 226);
  ::close(d);
  ASSERT_EQ(c.Cmd("EPRT |1|127.0.0.1|" + std::to_string(dataPort) + "|"), 200);
  c.Send("LIST");
  const int e = ::accept(listener, nullptr, nullptr);
  EXPECT_EQ(c.Reply(), 150);
  EXPECT_NE(RecvAll(e).find("f.txt"), std::string::npos);
  EXPECT_EQ(c.Reply(), 226);
  ::close(e);
  ::close(listener);
}

TEST_F(Transfer, ClientsThatLeaveMidTransfer) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "large", std::string(8 << 20, 'L'));
  // The data connection closes after a few bytes: the transfer fails, the session lives.
  const int d = c.Passive();
  c.Send("RETR large");
  EXPECT_EQ(c.Reply(), 150);
  char some[1000];
  EXPECT_GT(::recv(d, some, sizeof some, 0), 0);
  linger hard{1, 0};
  ::setsockopt(d, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(d);
  std::string text;
  EXPECT_EQ(c.Reply(&text), 425);
  EXPECT_EQ(c.Cmd("SYST"), 215);

  // The control connection goes away during an upload.
  const int u = c.Passive();
  c.Send("STOR partial");
  EXPECT_EQ(c.Reply(), 150);
  SendAll(u, std::string(100000, 'p'));
  c.Close();
  ::close(u);
  ASSERT_TRUE(Eventually([&] { return owner.Count(ftpEventDisconnect) == 1; }));
  Control again;
  ASSERT_TRUE(again.Connect(port) && again.Reply() == 220);
  EXPECT_TRUE(again.Login("alice", "secret"));
}

TEST_F(Transfer, ListingStyles) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "b.txt", "bb");
  WriteFile(root / "a.txt", "a");
  WriteFile(root / ".dot", "hidden");
  fs::create_directories(root / "dir");
  std::string data;
  EXPECT_EQ(c.Download("NLST", &data), 226);
  EXPECT_EQ(data, "a.txt\r\nb.txt\r\ndir\r\n");
  EXPECT_EQ(c.Download("MLSD", &data), 226);
  EXPECT_NE(data.find("type=file;size=2;modify="), std::string::npos);
  EXPECT_NE(data.find(";perm=adfrw;Win32.ea=00000020; b.txt\r\n"), std::string::npos) << data;
  EXPECT_NE(data.find("type=dir;"), std::string::npos);
  // ls options that name nothing are skipped, as clients send them
  EXPECT_EQ(c.Download("LIST -la", &data), 226);
  EXPECT_NE(data.find("b.txt"), std::string::npos) << data;
  EXPECT_EQ(c.Download("LIST *.txt", &data), 226);
  EXPECT_NE(data.find("a.txt"), std::string::npos);
  EXPECT_EQ(data.find("dir"), std::string::npos);
  std::string text;
  EXPECT_EQ(c.Cmd("MLST b.txt", &text), 250);
  EXPECT_EQ(text.rfind("250-Start of list for /b.txt\n type=file;size=2;", 0), 0u) << text;
  EXPECT_NE(text.find("\n250 End of list"), std::string::npos);
  EXPECT_EQ(c.Cmd("STAT a.txt", &text), 211);
  EXPECT_EQ(text.rfind("211-Status of a.txt\n ", 0), 0u) << text;
  EXPECT_EQ(c.Cmd("STAT .dot", &text), 450);
  EXPECT_EQ(c.Cmd("SITE DIRSTYLE", &text), 200);
  EXPECT_EQ(text, "200 MSDOS-like directory output is off");
  EXPECT_EQ(c.Download("LIST", &data), 226);
  EXPECT_NE(data.find("drwxrwxrwx   2    owner    group         4096"), std::string::npos) << data;
  EXPECT_EQ(c.Cmd("SITE DIRSTYLE", &text), 200);
  EXPECT_EQ(text, "200 MSDOS-like directory output is on");
}

// Names are bytes from 0x80 up as they come (UTF-8), listings hold every entry, and a name
// with control bytes never makes a line of its own.
TEST_F(Transfer, NamesAndListingsAsStored) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  EXPECT_EQ(c.Cmd("OPTS UTF8 ON"), 200);
  const std::string utf8 = "caf\xC3\xA9 \xC3\xB1.txt";
  EXPECT_EQ(c.Upload("STOR " + utf8, "accent"), 226);
  EXPECT_EQ(ReadFile(root / utf8), "accent");
  std::string data;
  EXPECT_EQ(c.Download("RETR " + utf8, &data), 226);
  EXPECT_EQ(data, "accent");
  EXPECT_EQ(c.Download("NLST", &data), 226);
  EXPECT_EQ(data, utf8 + "\r\n");

  // A name with CR LF inside would forge an entry "forged.txt".
  WriteFile(root / "evil\r\n-rw-r--r-- 1 u g 0 Jan 1 2020 forged.txt", "x");
  for (const char* listing : {"NLST", "LIST", "MLSD"}) {
    EXPECT_EQ(c.Download(listing, &data), 226);
    EXPECT_EQ(data.find("forged"), std::string::npos) << listing << ": " << data;
  }
  // A quote inside a created folder's name is doubled in the 257 reply.
  std::string text;
  EXPECT_EQ(c.Cmd("MKD q\"dir", &text), 257);
  EXPECT_EQ(text, "257 \"/q\"\"dir\" created");
  EXPECT_TRUE(fs::is_directory(root / "q\"dir"));

  // Many entries: every one is listed.
  fs::create_directories(root / "many");
  for (int i = 0; i < 1500; ++i) WriteFile(root / "many" / ("f" + std::to_string(10000 + i)), "");
  EXPECT_EQ(c.Download("NLST many", &data), 226);
  EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 1500);
  EXPECT_EQ(c.Download("LIST -a many", &data), 226);
  EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 1500);
}

// An upload that cannot be stored is refused before the data connection is used, and one
// to a missing folder creates nothing.
TEST_F(Transfer, UploadsThatCannotBeStoredAreRefusedFirst) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  std::string text;
  EXPECT_EQ(c.Upload("STOR nowhere/x.txt", "x", &text), 550) << text;
  EXPECT_FALSE(fs::exists(root / "nowhere"));
  fs::create_directories(root / "folder");
  EXPECT_EQ(c.Upload("STOR folder", "x", &text), 550) << text;
  EXPECT_EQ(c.Cmd("NOOP"), 200);
}

}  // namespace

namespace {

// The abort of RFC 959: Telnet interrupt, the synch (its data mark sent urgent), then ABOR,
// while the client reads no more of a large download.
TEST_F(Transfer, TelnetSynchAbortsADownload) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  WriteFile(root / "large", std::string(16 << 20, 'L'));
  const int d = c.Passive();
  ASSERT_GE(d, 0);
  c.Send("RETR large");
  EXPECT_EQ(c.Reply(), 150);
  char some[1000];
  EXPECT_GT(::recv(d, some, sizeof some, 0), 0);
  SendAll(c.fd(), "\xFF\xF4\xFF");
  ASSERT_EQ(::send(c.fd(), "\xF2", 1, MSG_OOB), 1);
  SendAll(c.fd(), "ABOR\r\n");
  EXPECT_EQ(c.Reply(), 426);
  EXPECT_EQ(c.Reply(), 226);
  ::close(d);
  EXPECT_EQ(c.Cmd("NOOP"), 200);
}

// An urgent byte without the Telnet synch means nothing: it is dropped, wherever it comes,
// and the command around it or after it arrives whole.
TEST_F(Transfer, BareUrgentByteIsDropped) {
  Control c;
  ASSERT_TRUE(StartAndLogin(c));
  ASSERT_EQ(::send(c.fd(), "X", 1, MSG_OOB), 1);
  EXPECT_EQ(c.Cmd("NOOP"), 200);
  SendAll(c.fd(), "NO");
  ASSERT_EQ(::send(c.fd(), "\xF2", 1, MSG_OOB), 1);
  SendAll(c.fd(), "OP\r\n");
  EXPECT_EQ(c.Reply(), 200);
  EXPECT_EQ(c.Cmd("PWD"), 257);
}

}  // namespace

namespace {

// Passive ports come from the system's random source: clients connected in the same second
// do not get neighbouring ports a third party could guess.
TEST_F(Transfer, PassivePortsAreSpreadOverTheRange) {
  Control first;
  ASSERT_TRUE(StartAndLogin(first));
  ASSERT_EQ(FtpServerThrottle(server, 0, 0, kFtpNoChange, kFtpNoChange), 1);
  std::vector<std::unique_ptr<Control>> clients;
  std::vector<int> ports;
  for (int i = 0; i < 6; ++i) {
    auto c = std::make_unique<Control>();
    ASSERT_TRUE(c->Connect(port) && c->Reply() == 220 && c->Login("alice", "secret"));
    std::string text;
    ASSERT_EQ(c->Cmd("EPSV", &text), 229);
    ports.push_back(std::atoi(text.c_str() + text.find("|||") + 3));
    clients.push_back(std::move(c));
  }
  const auto [low, high] = std::minmax_element(ports.begin(), ports.end());
  EXPECT_GT(*high - *low, 64) << ::testing::PrintToString(ports);
}

}  // namespace

namespace {

// Stop with downloads under way whose clients read no more: it returns within 2 s, every
// download ends with 426, every client hears 421 and then the close of both connections,
// and nothing comes after the stop.
TEST_F(Transfer, StopEndsRunningTransfers) {
  WriteFile(root / "large", std::string(64 << 20, 'L'));
  ASSERT_NE(Start(), uint64_t(INVALID_SOCKET));
  ASSERT_EQ(FtpServerAddUser(server, ftpAccessAll, "alice", "secret", nullptr), 1);
  ASSERT_EQ(FtpServerThrottle(server, 0, 0, kFtpNoChange, kFtpNoChange), 1);
  struct Running {
    Control c;
    int data = -1;
  };
  std::vector<std::unique_ptr<Running>> clients;
  for (int i = 0; i < 5; ++i) {
    auto r = std::make_unique<Running>();
    ASSERT_TRUE(r->c.Connect(port) && r->c.Reply() == 220 && r->c.Login("alice", "secret"));
    ASSERT_EQ(r->c.Cmd("TYPE I"), 200);
    r->data = r->c.Passive();
    ASSERT_GE(r->data, 0);
    r->c.Send("RETR large");
    ASSERT_EQ(r->c.Reply(), 150);
    char some[1000];
    ASSERT_GT(::recv(r->data, some, sizeof some, 0), 0);
    clients.push_back(std::move(r));
  }
  const auto started = std::chrono::steady_clock::now();
  EXPECT_NE(FtpServerStop(server), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  server = uint64_t(INVALID_SOCKET);
  for (auto& r : clients) {
    std::string text;
    EXPECT_EQ(r->c.Reply(&text), 426) << text;
    EXPECT_EQ(r->c.Reply(&text), 421) << text;
    EXPECT_TRUE(r->c.ClosedByPeer());
    // The data connection ends too: what the kernel still holds, then its close.
    std::string rest;
    char buffer[1 << 16];
    ssize_t n;
    while ((n = ::recv(r->data, buffer, sizeof buffer, 0)) > 0) rest.append(buffer, size_t(n));
    EXPECT_EQ(n, 0);
    EXPECT_LT(rest.size(), size_t(64 << 20));
    ::close(r->data);
  }
}

}  // namespace
