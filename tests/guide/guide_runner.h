#pragma once
// Runs the examples of the user guide as a user would: each shell block marked
// "<!-- example: NAME -->" in docs/guide.md is taken from the guide itself and run by
// /bin/sh in a working folder, with cvhost on the PATH and the example's variables set.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/test_host.h"
#include "http/nginx_peer.h"

extern char** environ;

namespace guidetest {

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Whether something listens on the loopback port.
inline bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// nginx with a folder whose downloads crawl, so that a transfer lasts long enough to cancel.
inline cvpeers::PeerOptions SlowNginx(bool tls) {
  cvpeers::PeerOptions options = httptest::NginxOptions(AF_INET, tls);
  const std::string anchor = "    location = /moved";
  options.configTemplate.replace(options.configTemplate.find(anchor), 0, "    location /slow/ { limit_rate 32k; }\n");
  return options;
}

inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The shell text of the guide's example NAME; empty when the guide has none.
inline std::string Example(const std::string& name) {
  const std::string guide = Slurp(CV_GUIDE);
  const size_t mark = guide.find("<!-- example: " + name + " -->");
  if (mark == std::string::npos) return "";
  const size_t open = guide.find("```sh\n", mark);
  if (open == std::string::npos) return "";
  const size_t start = open + 6;
  const size_t close = guide.find("```", start);
  return close == std::string::npos ? "" : guide.substr(start, close - start);
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A running example: its process, and its output files in the working folder.
class Script {
 public:
  Script(const std::filesystem::path& dir, const std::string& name, const std::string& script,
      const std::map<std::string, std::string>& vars)
      : out_(dir / (name + ".out")), err_(dir / (name + ".err")) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("PATH=", 0) == 0)
        entry = "PATH=" + std::filesystem::path(CV_CVHOST).parent_path().string() + ":" + entry.substr(5);
      env.push_back(entry);
    }
    for (const auto& [k, v] : vars) env.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string sh = "/bin/sh", dashC = "-c", text = script;
    char* argv[] = {sh.data(), dashC.data(), text.data(), nullptr};
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Script() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  std::string out() const { return Slurp(out_); }

  // Waits for the end (a signal first, when given) and returns the outcome.
  Outcome Finish(int signo = 0) {
    Outcome r;
    if (pid_ <= 0) return r;
    if (signo) kill(pid_, signo);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = Slurp(out_);
    r.err = Slurp(err_);
    return r;
  }

 private:
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
};

// Waits, bounded by time and paced, until cond holds.
template <class Cond>
bool WaitFor(Cond cond, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Registers the controls in a private registry, as the guide's first step does.
class GuideTest : public testhost::RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    // All seven at once from the folder they are built in, as the guide shows.
    std::stringstream modules(CV_MODULES);
    std::string module;
    std::getline(modules, module, ':');
    const std::string folder = std::filesystem::path(module).parent_path().string();
    Outcome reg = Script(dir_, "register", std::string(CV_CVREGSVR) + " --all '" + folder + "'", {}).Finish();
    ASSERT_EQ(reg.status, 0) << reg.err;
    modules.clear();
    modules.seekg(0);
    while (std::getline(modules, module, ':'))
      ASSERT_NE(reg.out.find("registered " + module + "\n"), std::string::npos) << reg.out;
  }
  Outcome RunExample(const std::string& name, const std::map<std::string, std::string>& vars) {
    const std::string script = Example(name);
    EXPECT_FALSE(script.empty()) << "no example " << name << " in the guide";
    return Script(dir_, name, script, vars).Finish();
  }
};

}  // namespace guidetest
