// An FTP connect, a download into a global memory block and an upload from memory against
// the scripted server, with each heap and C++ allocation failing in turn.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "each_allocation.h"
#include "ftp/ftp.h"
#include "ftp/ftp_bits.h"
#include "support/script_server.h"

namespace allocfail {
namespace {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

using cvftp::kOptNoLogin;
using cvftp::kOptNoServerQueries;
using cvftp::kOptPassive;

// The server's side of one passive data connection. The client may give up at any point
// (an allocation failed), so every wait also ends when the command connection does.
struct DataPort {
  int listener = -1;
  ~DataPort() {
    if (listener >= 0) ::close(listener);
  }
  int Accept(ScriptServer& s) const {
    pollfd p[2] = {{listener, POLLIN, 0}, {s.clientSocket(), POLLIN, 0}};
    if (::poll(p, 2, 5000) <= 0 || !(p[0].revents & POLLIN)) return -1;
    return ::accept(listener, nullptr, nullptr);
  }
};

ScriptServer& Pasv(ScriptServer& srv, DataPort& d) {
  return srv.Expect("PASV").Call([&d](ScriptServer& s) {
    int port = 0;
    d.listener = s.OpenListener(&port);
    s.SendRaw("227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 255) +
              ").\r\n");
  });
}

ScriptServer& Download(ScriptServer& srv, DataPort& d, const std::string& data) {
  return srv.Call([&d, data](ScriptServer& s) {
    s.SendRaw("150 Opening data connection.\r\n");
    const int c = d.Accept(s);
    if (c < 0) return;
    ::send(c, data.data(), data.size(), MSG_NOSIGNAL);
    ::close(c);
    s.SendRaw("226 Done.\r\n");
  });
}

ScriptServer& Upload(ScriptServer& srv, DataPort& d) {
  return srv.Call([&d](ScriptServer& s) {
    s.SendRaw("150 Ok to send data.\r\n");
    const int c = d.Accept(s);
    if (c < 0) return;
    char buffer[4096];
    while (::recv(c, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(c);
    s.SendRaw("226 Transfer complete.\r\n");
  });
}

constexpr const char* kListing =
    "total 3\r\n"
    "-rw-r--r-- 1 u g 5000 Jan 5 2020 one.txt\r\n"
    "drwxr-xr-x 2 u g 4096 Jan 5 2020 dir\r\n"
    "-rw-r--r-- 1 u g 7 Mar 1 12:00 two.bin\r\n";

// Opens the listing, reads every entry and closes it; 0, or the error.
uint32_t ReadListing(LibHandle h) {
  if (FtpOpenDirectory(h, "pub") == -1) return FtpGetLastError();
  FtpFileInfo info;
  int entries = 0;
  int32_t r = FtpReadFirstEntry(h, &info);
  for (; r == 1; r = FtpReadNextEntry(h, &info)) ++entries;
  const uint32_t error = FtpGetLastError();
  FtpCloseDirectory(h);
  if (error != cvErrorEndOfDirectory) return error;
  EXPECT_EQ(entries, 3);
  return 0;
}

class FtpAllocations : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(FtpAttach(nullptr), 1); }
  void TearDown() override { FtpDetach(); }
};

// Each of the three calls after the connect fails on its own: the later ones are not
// reached, and the server's script simply ends early.
TEST_F(FtpAllocations, ConnectListDownloadAndUpload) {
  std::string file(20000, '\0');  // binary: the automatic type stays image
  for (size_t i = 0; i < file.size(); ++i) file[i] = char(i * 7);
  const Path path = [&file]() -> uint32_t {
    ScriptServer server;
    DataPort down, up;
    server.Reply("220 Scripted.").Expect("PWD").Reply("257 \"/\"").Expect("TYPE I").Reply("200 Ok.");
    DataPort list;
    server.Expect("TYPE A").Reply("200 A.");
    Download(Pasv(server, list).Expect("LIST pub"), list, kListing);
    server.Expect("TYPE I").Reply("200 I.");
    Download(Pasv(server, down).Expect("RETR file"), down, file);
    Upload(Pasv(server, up).Expect("STOR back"), up);
    server.Expect("QUIT").Reply("221 Bye.");
    server.Start();
    LibraryCalls calls;
    const LibHandle h = FtpConnect(server.address(), uint32_t(server.port()), nullptr, nullptr, 5,
                                   kOptPassive | kOptNoLogin | kOptNoServerQueries, nullptr);
    if (h == kInvalidLibHandle) return FtpGetLastError();
    uint32_t error = ReadListing(h);
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    if (error != 0) {
    } else if (FtpRetrieveData(h, "file", &block, &length) != 0) {
      error = FtpGetLastError();
    } else {
      EXPECT_EQ(length, file.size());
      plat::GlobalFree(block);
      if (FtpStoreData(h, "back", file.data(), uint32_t(file.size())) != 0) error = FtpGetLastError();
    }
    FtpDisconnect(h);
    return error;
  };
  EXPECT_GT(EachAllocationFails(path, true), 5u);
}

}  // namespace
}  // namespace allocfail
