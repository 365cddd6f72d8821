// The HTTP server reading requests from a client that sends these bytes, in-process on
// loopback: request lines, headers, bodies and keep-alive, every method, and the mapping
// of paths to files. The oracle: nothing of a file outside the root or under a virtual path
// without rights is ever sent, and nothing outside the root (nor the file without rights) is
// created, changed or removed.
#include <cstdlib>
#include <string>

#include "fuzz_target.h"
#include "guarded_root.h"
#include "httpsrv/httpsrv.h"
#include "scratch_dir.h"
#include "server_client.h"

namespace {

namespace fs = std::filesystem;

uint64_t theServer = 0;

struct Site {
  cvfuzz::GuardedRoot guard{"httpsrv", "www"};
  fs::path upload = guard.root() / "upload";
  fs::path privateDir = guard.root() / "private";
  std::string privateMark = cvfuzz::RandomMark("no-rights-");
  int port = 0;
  bool ready = false;

  // The tree as every input finds it.
  void Lay() const {
    std::error_code ec;
    fs::remove_all(guard.root(), ec);
    fs::create_directories(upload);
    cvfuzz::WriteFile(guard.root() / "index.html", "<html>index</html>\n");
    cvfuzz::WriteFile(guard.root() / "sub" / "a.txt", "some text\n");
    cvfuzz::WriteFile(guard.root() / ".hidden", "hidden\n");
    cvfuzz::WriteFile(privateDir / "secret.txt", privateMark);
    guard.WriteSecret();
  }

  bool Unchanged() const {
    return guard.OutsideUnchanged() && cvfuzz::ReadFile(privateDir / "secret.txt") == privateMark;
  }

  void Start() {
    Lay();
    if (HttpServerAttach(nullptr, nullptr) != 1) return;
    const std::string root = guard.root().string();
    const std::string temp = (cvfuzz::ScratchDir() / "httpsrv-temp").string();
    fs::create_directories(temp);
    HttpServerConfig config{};
    config.size = sizeof config;
    config.maxClients = 50;
    config.maxClientsPerAddress = 50;
    config.maxRequests = 20;
    config.maxRequestSize = 1 << 20;
    config.idleTime = 2;
    config.execTime = 2;
    config.hostName = "localhost";
    config.rootDirectory = root.c_str();
    config.tempDirectory = temp.c_str();
    port = cvfuzz::StartOnFreePort([&](int p) {
      theServer = HttpServerStart("127.0.0.1", uint32_t(p), 0, &config, nullptr, 0, nullptr);
      return theServer != uint64_t(INVALID_SOCKET);
    });
    if (!port) return;
    // Stopped before the libraries' own state goes away at exit, with no client thread left.
    std::atexit([] { HttpServerStop(theServer); });
    // The oracle is only as good as this set-up: a path that failed to be added would leave
    // its folder served with the server's default rights.
    ready = HttpServerAddPath(theServer, 0, httpAccessRead | httpAccessWrite | httpAccessList, "/upload",
                              upload.c_str()) == 1 &&
            HttpServerAddPath(theServer, 0, 0, "/private", privateDir.c_str()) == 1;
  }
};

}  // namespace

CV_FUZZ_TARGET(httpsrv_request) {
  static Site* site = [] {
    auto* s = new Site;
    s->Start();
    return s;
  }();
  FUZZ_CHECK(site->ready);
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const std::string answer = cvfuzz::Converse(site->port, request, std::chrono::seconds(5));
  // A request that carries a secret itself may see it echoed (TRACE, error pages): only an
  // answer that could not have taken it from the request counts.
  for (const std::string& secret : {site->guard.secret(), site->privateMark})
    if (!cvfuzz::Contains(request, secret)) FUZZ_CHECK(!cvfuzz::Contains(answer, secret));
  FUZZ_CHECK(site->Unchanged());
  site->Lay();
}
