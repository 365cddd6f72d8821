#pragma once
// A scripted line-protocol server for tests: it accepts one client on 127.0.0.1 (or ::1)
// and plays a script of expected command lines and byte-exact replies, with stalls,
// piecewise writes and drops. It exists for what real servers cannot be made to do
// (malformed replies, stalls, resets); interoperability is proven against real peers.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cvtest {

class ScriptServer {
 public:
  struct Step {
    enum class Kind { Expect, ExpectPrefix, Send, SendPieces, Sleep, Drop, Close, Accept, Call, Trickle, Silence } kind;
    std::string text;                      // line without CR LF, or the bytes to send
    std::chrono::milliseconds delay{0};    // Sleep; SendPieces: pause between pieces
    size_t piece = 1;                      // SendPieces: bytes per write
    std::function<void(ScriptServer&)> call;
  };

  // Binds a free port on the loopback address of the family (AF_INET or AF_INET6).
  explicit ScriptServer(int family = 2 /* AF_INET */);
  // Binds a given numeric address and port (e.g. 127.0.0.2 and 21 to test port defaults);
  // port() is 0 when that failed.
  ScriptServer(const std::string& address, int port);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // Script building; each returns *this for chaining.
  ScriptServer& Expect(std::string line);        // the next command line must equal this
  ScriptServer& ExpectPrefix(std::string prefix);
  ScriptServer& Send(std::string bytes);         // sent as is (include CR LF yourself)
  ScriptServer& Reply(std::string line) { return Send(line + "\r\n"); }
  ScriptServer& SendPieces(std::string bytes, size_t piece, std::chrono::milliseconds pause);
  ScriptServer& Sleep(std::chrono::milliseconds ms);
  ScriptServer& Drop();                          // close the connection (with a reset)
  ScriptServer& Close();                         // close the connection in order
  ScriptServer& Accept();                        // close the connection, take the next one
  ScriptServer& Call(std::function<void(ScriptServer&)> fn);
  // Sends bytes again and again, a pause between, until the client goes or the server is
  // destroyed (a reply that never ends); the script's last step.
  ScriptServer& Trickle(std::string bytes, std::chrono::milliseconds pause);
  // Reads and drops whatever the client sends and answers nothing, until the client goes,
  // the server is destroyed or the limit passes (a server gone silent); the script's last step.
  ScriptServer& Silence(std::chrono::milliseconds limit = std::chrono::seconds(30));

  // Starts serving the script in a thread (call after building it).
  void Start();
  // Waits for the script to finish (bounded); true when every step ran as expected.
  bool Finish(std::chrono::milliseconds limit = std::chrono::seconds(10));

  int port() const { return port_; }
  // The connected client's socket, for Call steps that speak through another layer (TLS).
  int clientSocket() const { return client_; }
  const char* address() const { return address_.c_str(); }
  // The command lines received, in order, and the first mismatch (empty when none).
  std::vector<std::string> received() const;
  std::string failure() const;

  // Helpers for Call steps: an extra listening socket (e.g. a passive data port).
  int OpenListener(int* port_out);
  static int AcceptOne(int listener, std::chrono::milliseconds limit);
  // Reads one line (without CR LF) from the client; false on close or time-out.
  bool ReadLine(std::string& line, std::chrono::milliseconds limit);
  void SendRaw(const std::string& bytes);
  // As SendRaw; false when the connection no longer takes data.
  bool TrySend(const std::string& bytes);

 private:
  void Run();
  void Fail(std::string why);
  // Accepts the next client into client_; false (and no client) when none came or the
  // server is being destroyed.
  bool TakeClient();
  void CloseClient();

  int family_;
  std::string address_;
  int listener_ = -1;
  int client_ = -1;  // changed only by the script thread, under clientMu_
  std::mutex clientMu_;
  int port_ = 0;
  std::string pending_;  // bytes read past the last line
  std::vector<Step> steps_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  mutable std::mutex mu_;
  std::vector<std::string> received_;
  std::string failure_;
};

}  // namespace cvtest
