#pragma once
// Test peers: real server programs started by a test on loopback, each in a fresh
// temporary directory, on a free port, and stopped by process id when the test ends.
//
//   cvpeers::PeerProcess echo({.program = "socat",
//                              .args = {"TCP4-LISTEN:{{PORT}},bind={{ADDR}},fork,reuseaddr", "PIPE"}});
//   CV_START_PEER(echo);  // skips the test when socat is not installed
//   ... connect to echo.address():echo.port() ...
//
// Placeholders, in the configuration template and in the arguments:
//   {{PORT}} the listening port   {{ADDR}} 127.0.0.1 or ::1   {{HOST}} 127.0.0.1 or [::1]
//   {{DIR}} the temporary directory   {{CONFIG}} the configuration file's path
//   one per name in PeerOptions::ports (further listening ports, such as {{TLSPORT}})
//   plus any given in PeerOptions::values.
// Every port is drawn afresh on each start attempt, and the peer counts as started only
// when its own processes listen on all of them, accept, and are still running shortly after.
// The program must stay in the foreground; it runs in its own process group, and the
// whole group is stopped (SIGTERM, then SIGKILL) so that per-connection children go too.
#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace cvpeers {

// A fresh private directory (mode 0700), removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes a file below the directory (creating parent folders) and returns its path.
  std::filesystem::path Write(const std::string& name, std::string_view content,
                              std::filesystem::perms mode = std::filesystem::perms(0644)) const;

 private:
  std::filesystem::path path_;
};

// A TCP port that is free on the loopback address of the family (AF_INET or AF_INET6)
// right now, below the range the kernel hands out by itself. Another process may still
// take it before a program binds it: a peer's ports are drawn by PeerProcess, which
// retries with new ones when that happens.
uint16_t FreePort(int family = AF_INET);

// Whether the loopback address of the family can be bound here (::1 may be disabled).
bool LoopbackAvailable(int family);

// Waits until a forking server has at most `kept` session processes left (10 s at most),
// then half a second more: proftpd's listener accepts nothing for 400 ms after a session
// ends, so a benchmark run that connected at once would wait out the rest of that pause,
// and a whole process would hide its start-up in it where an in-process client could not.
void SettleSessions(pid_t server, size_t kept = 0);

// The full path of an installed program: directories of $CV_PEER_PATH, then $PATH, then
// the sbin folders (daemons live there and a test's PATH may lack them). Empty when absent.
std::string FindProgram(const std::string& name);

// Replaces every {{NAME}} whose NAME is in values; other text is kept as it is.
std::string FillTemplate(std::string_view text, const std::map<std::string, std::string>& values);

struct PeerOptions {
  std::string program{};                        // name on the search path, or a path
  std::vector<std::string> args{};              // arguments after the program name
  std::string configName{};                     // file written in the directory, if any
  std::string configTemplate{};                 // its contents, placeholders filled
  std::map<std::string, std::string> values{};  // extra placeholders
  std::vector<std::string> env{};               // extra NAME=value entries
  std::vector<std::string> ports{};             // placeholders of further listening ports
  std::vector<std::string> logFiles{};          // the program's own logs, below {{DIR}}
  int family = AF_INET;                         // AF_INET: 127.0.0.1, AF_INET6: ::1
  bool waitForPort = true;                      // wait until every port accepts
  bool errorsOnStdin = false;                   // it reports start-up errors on descriptor 0
  std::chrono::milliseconds startTimeout{30000};
  // Called with the ports drawn for an attempt, before the program starts (the harness's
  // own tests take one of them here).
  std::function<void(const std::map<std::string, uint16_t>&)> beforeStart{};
};

class PeerProcess {
 public:
  // Unavailable: the program is not installed or the loopback family is disabled here.
  enum class StartResult { Started, Unavailable, Failed };

  explicit PeerProcess(PeerOptions options);
  ~PeerProcess();  // Stop()
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Writes the configuration, starts the program and waits (bounded) until it accepts.
  StartResult Start();
  // Stops the process group: SIGTERM, SIGKILL after a grace period, then reaps it.
  void Stop();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_; }
  // A port by its placeholder ("PORT", "TLSPORT", ...); 0 for an unknown name.
  uint16_t port(const std::string& name) const;
  const std::string& address() const { return address_; }  // 127.0.0.1 or ::1
  int family() const { return options_.family; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path configPath() const;
  // The value of a placeholder as substituted ("PORT", "DIR", ...).
  std::string value(const std::string& name) const;

  // For failure messages: what went wrong, whether the program still runs (or how it
  // ended), who listens on each of its ports, and the tails of its output and log files.
  std::string Diagnostics() const;
  std::string StderrText() const;

 private:
  enum class Outcome { Accepting, Lost, TimedOut };
  void DrawPorts();
  bool Spawn(const std::string& path);
  bool Executed(int report);
  Outcome WaitUntilAccepting();
  Outcome PortsState();
  bool StaysUp();
  bool Reaped();
  std::string ProcessState() const;

  PeerOptions options_;
  TempDir dir_;  // declared first: outlives the process it hosts
  std::map<std::string, std::string> values_;
  std::map<std::string, uint16_t> ports_;
  std::string address_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string problem_;
  std::string ended_;  // how the last program ended, once reaped
};

}  // namespace cvpeers

// Starts a PeerProcess; skips the test when its program is not installed (or the address
// family is disabled) and fails it when the program does not come up. Use in a test body
// or in SetUp().
#define CV_START_PEER(peer)                                                            \
  do {                                                                                 \
    switch ((peer).Start()) {                                                          \
      case ::cvpeers::PeerProcess::StartResult::Started:                               \
        break;                                                                         \
      case ::cvpeers::PeerProcess::StartResult::Unavailable:                           \
        GTEST_SKIP() << (peer).Diagnostics();                                          \
      case ::cvpeers::PeerProcess::StartResult::Failed:                                \
        FAIL() << (peer).Diagnostics();                                                \
    }                                                                                  \
  } while (0)
