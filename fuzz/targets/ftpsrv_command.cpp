// The FTP server reading commands from a client that sends these bytes, in-process on
// loopback, with passive data connections followed as the server announces them. The
// oracle, checked after every command the server carried out: the path it worked on lies
// inside the root (inside the home for a restricted user), links followed; nothing of a
// file outside the root is ever sent; nothing outside the root changes. Active mode is
// parsed but never connects anywhere: its transfers are answered by the owner instead.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_target.h"
#include "guarded_root.h"
#include "loopback.h"
#include "ftpsrv/ftpsrv.h"
#include "scratch_dir.h"
#include "server_client.h"

namespace {

namespace fs = std::filesystem;

bool Inside(const fs::path& path, const fs::path& base) {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(path, ec);
  if (ec) return true;  // gone meanwhile: nothing to judge
  auto b = base.begin();
  auto p = real.begin();
  for (; b != base.end(); ++b, ++p)
    if (p == real.end() || *p != *b) return false;
  return true;
}

bool IsTransfer(const char* verb) {
  for (const char* t : {"RETR", "STOR", "STOU", "APPE", "LIST", "NLST", "MLSD"})
    if (std::strcmp(verb, t) == 0) return true;
  return false;
}

struct Site {
  cvfuzz::GuardedRoot guard{"ftpsrv", "root"};
  fs::path guestHome = guard.root() / "users" / "guest";
  int port = 0;
  bool ready = false;  // started, with both users
  std::atomic<bool> active{false};  // the one client's last data command was PORT or EPRT

  void Lay() const {
    std::error_code ec;
    const fs::path& root = guard.root();
    fs::remove_all(root, ec);
    cvfuzz::WriteFile(root / "pub" / "a.txt", "inside\n");
    cvfuzz::WriteFile(root / "top.txt", "top\n");
    cvfuzz::WriteFile(guestHome / "mine.txt", "guest's\n");
    fs::create_symlink(root.parent_path(), root / "escape", ec);
    fs::create_symlink(root.parent_path() / "secret.txt", root / "pub" / "leak.txt", ec);
    guard.WriteSecret();
  }

  // The base a client's paths must stay in.
  fs::path BaseOf(uint64_t srv, uint32_t clientId) const {
    char user[256] = {};
    FtpSessionGetUserName(srv, clientId, user);
    return std::strcmp(user, "guest") == 0 ? guestHome : guard.root();
  }

  void Judge(uint64_t srv, uint32_t clientId, uint16_t event) {
    if (event == ftpEventCommand) {
      char verb[32] = {};
      FtpSessionGetCommand(srv, clientId, verb);
      if (std::strcmp(verb, "PASV") == 0 || std::strcmp(verb, "EPSV") == 0) active.store(false);
      if (active.load() && IsTransfer(verb)) FtpSessionSendReply(srv, clientId, 425, "No active connections here");
      return;
    }
    if (event == ftpEventResult) {
      char verb[32] = {};
      FtpSessionGetCommand(srv, clientId, verb);
      const uint32_t code = FtpSessionGetResultCode(srv, clientId);
      if ((std::strcmp(verb, "PORT") == 0 || std::strcmp(verb, "EPRT") == 0) && code == 200) active.store(true);
      if (code < 100 || code >= 400) return;
      char local[kFtpPathSize] = {};
      if (FtpSessionResolvePath(srv, clientId, local) > 0) FUZZ_CHECK(Inside(local, BaseOf(srv, clientId)));
      return;
    }
    if (event == ftpEventDownload || event == ftpEventUpload) {
      FtpTransferInfo info{};
      info.size = sizeof info;
      if (FtpSessionGetTransferInfo(srv, clientId, &info) && info.localPath[0])
        FUZZ_CHECK(Inside(info.localPath, BaseOf(srv, clientId)));
    }
  }

  void Start();
};

Site* theSite = nullptr;
uint64_t theServer = 0;

int32_t OnEvent(uint64_t server, uint32_t clientId, uint16_t event, uint16_t, uint64_t) {
  theSite->Judge(server, clientId, event);
  return 0;
}

void Site::Start() {
  Lay();
  if (FtpServerAttach(nullptr, nullptr) != 1) return;
  const std::string root = guard.root().string();
  FtpServerConfig config{};
  config.size = sizeof config;
  config.maxClients = 50;
  config.maxClientsPerAddress = 50;
  config.idleTime = 2;
  config.authTime = 30;
  config.execTime = 2;
  config.rootDirectory = root.c_str();
  port = cvfuzz::StartOnFreePort([&](int p) {
    theServer = FtpServerStart("127.0.0.1", uint32_t(p), 0, &config, OnEvent, 0, nullptr);
    return theServer != uint64_t(INVALID_SOCKET);
  });
  if (!port) return;
  // Stopped before the libraries' own state goes away at exit, with no client thread left.
  std::atexit([] { FtpServerStop(theServer); });
  ready = FtpServerAddUser(theServer, ftpAccessAll, "alice", "secret", nullptr) == 1 &&
          FtpServerAddUser(theServer, ftpAccessRestricted | ftpAccessRead | ftpAccessList | ftpAccessChdir, "guest",
                           "guest", "/users/guest") == 1;
}

// Follows the passive data ports the server announces and keeps what arrives on them.
class DataFollower {
 public:
  ~DataFollower() { Finish(); }

  void Look(const std::string& answer) {
    for (size_t at; (at = answer.find('\n', scanned_)) != std::string::npos; scanned_ = at + 1) {
      const std::string line = answer.substr(scanned_, at - scanned_);
      unsigned h1, h2, h3, h4, p1, p2, port;
      const char* open = std::strchr(line.c_str(), '(');
      if (line.rfind("227", 0) == 0 && open &&
          std::sscanf(open, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) == 6 && h1 == 127)
        Follow(int(p1 * 256 + p2));
      else if (line.rfind("229", 0) == 0 && open && std::sscanf(open, "(|||%u|)", &port) == 1)
        Follow(int(port));
    }
  }

  void Finish() {
    stop_.store(true);
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  std::string data() {
    std::lock_guard lock(mu_);
    return data_;
  }

 private:
  void Follow(int port) {
    if (port <= 0 || port > 65535 || threads_.size() >= 8) return;
    threads_.emplace_back([this, port] {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = cvfuzz::Loopback(port);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        char buffer[8192];
        while (!stop_.load()) {
          pollfd p{fd, POLLIN, 0};
          if (::poll(&p, 1, 20) <= 0) continue;
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          std::lock_guard lock(mu_);
          data_.append(buffer, size_t(n));
        }
      }
      ::close(fd);
    });
  }

  size_t scanned_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::string data_;
};

}  // namespace

CV_FUZZ_TARGET(ftpsrv_command) {
  static Site* site = [] {
    theSite = new Site;
    theSite->Start();
    return theSite;
  }();
  FUZZ_CHECK(site->ready);
  site->active.store(false);
  const std::string_view commands(reinterpret_cast<const char*>(data), size);
  DataFollower follower;
  const std::string answer = cvfuzz::Converse(site->port, commands, std::chrono::seconds(5),
                                              [&](const std::string& text) { follower.Look(text); });
  follower.Finish();
  const std::string& secret = site->guard.secret();
  if (!cvfuzz::Contains(commands, secret)) {
    FUZZ_CHECK(!cvfuzz::Contains(answer, secret));
    FUZZ_CHECK(!cvfuzz::Contains(follower.data(), secret));
  }
  FUZZ_CHECK(site->guard.OutsideUnchanged());
  site->Lay();
}
