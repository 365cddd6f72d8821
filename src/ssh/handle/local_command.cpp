// The local proxy command: the command's standard input and output become the SSH
// connection. The program is started directly (no shell), in its own process group,
// with only its standard input and output connected.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/net/wsa_errors.h"
#include "ssh/handle/handle.h"
#include "ssh/proto/settings.h"
#include "ssh/proxy/proxy.h"
#include "ssh/util/alloc.h"

namespace {

// Waits up to ms for the child to end; true when it was reaped.
bool ReapWithin(pid_t pid, int ms) {
  int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    poll(&p, 1, ms);
    close(pidfd);
  }
  return waitpid(pid, nullptr, WNOHANG) == pid;
}

class LocalSocket final : public SshSocket {
 public:
  explicit LocalSocket(SshPlug* plug) : plug_(plug) {}

  SshPlug* SetPlug(SshPlug* plug) override {
    SshPlug* old = plug_;
    if (plug) plug_ = plug;
    return old;
  }
  void Close() override {
    if (closed_) return;
    closed_ = true;
    HandleFree(input_);
    HandleFree(output_);
    input_ = output_ = nullptr;
    StopChild();
    if (depth_ == 0) delete this;
  }
  uint32_t Write(const void* data, uint32_t length) override {
    return closed_ || !output_ ? 0 : HandleWrite(output_, data, length);
  }
  uint32_t WriteUrgent(const void* data, uint32_t length) override { return Write(data, length); }
  void Flush() override {}
  void SetPrivate(void* value) override { private_ = value; }
  void* GetPrivate() override { return private_; }
  void SetFrozen(int32_t) override {}
  uint32_t Error() override { return error_; }

  uint32_t Start(std::vector<std::string>& words);

 private:
  ~LocalSocket() = default;

  static int32_t OnData(HandleConnection* h, const void* data, int32_t length) {
    auto* self = static_cast<LocalSocket*>(HandlePrivateData(h));
    ++self->depth_;
    // The end of the command's output, clean or not, is an orderly close.
    if (length > 0)
      self->plug_->Receive(0, static_cast<const uint8_t*>(data), length);
    else
      self->plug_->Closing(0, 0);
    self->Release();
    return 0;
  }

  static void OnSent(HandleConnection* h, int32_t pending) {
    auto* self = static_cast<LocalSocket*>(HandlePrivateData(h));
    ++self->depth_;
    // A failed write ends the connection with its error instead of posing as a backlog.
    if (pending >= 0)
      self->plug_->Sent(uint32_t(pending));
    else
      self->plug_->Closing(uint32_t(-pending), 0);
    self->Release();
  }

  void Release() {
    if (--depth_ == 0 && closed_) delete this;
  }

  void StopChild() {
    if (child_ <= 0) return;
    // The command has nothing more to do once its connection is closed.
    kill(-child_, SIGTERM);
    if (!ReapWithin(child_, 1000)) {
      kill(-child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    child_ = -1;
  }

  SshPlug* plug_;
  void* private_ = nullptr;
  uint32_t error_ = 0;
  HandleConnection* input_ = nullptr;   // the command's output
  HandleConnection* output_ = nullptr;  // the command's input
  pid_t child_ = -1;
  int32_t depth_ = 0;
  bool closed_ = false;
};

uint32_t LocalSocket::Start(std::vector<std::string>& words) {
  if (words.empty()) return error_ = plat::WSAEACCES;
  // Socket pairs stand in for the two pipes: a write to a command that has gone then
  // fails with an error instead of raising SIGPIPE in the host.
  int toCommand[2], fromCommand[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, toCommand) != 0) return error_ = plat::WSAEACCES;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fromCommand) != 0) {
    close(toCommand[0]);
    close(toCommand[1]);
    return error_ = plat::WSAEACCES;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toCommand[1], 0);
  posix_spawn_file_actions_adddup2(&actions, fromCommand[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(toCommand[1]);
  close(fromCommand[1]);
  if (spawned != 0) {
    close(toCommand[0]);
    close(fromCommand[0]);
    return error_ = plat::WSAEACCES;
  }
  child_ = pid;
  fcntl(toCommand[0], F_SETFL, fcntl(toCommand[0], F_GETFL) | O_NONBLOCK);
  fcntl(fromCommand[0], F_SETFL, fcntl(fromCommand[0], F_GETFL) | O_NONBLOCK);
  input_ = HandleNewInput(fromCommand[0], OnData, this, 0);
  output_ = HandleNewOutput(toCommand[0], OnSent, this, 0);
  return 0;
}

}  // namespace

SshSocket* LocalProxyNewConnection(SshAddress* address, int32_t port, SshPlug* plug, const SshSettings* settings) {
  if (settings->ProxyType != kProxyLocalCommand) return nullptr;
  std::vector<std::string> words = ProxyCommandWords(address, port, settings);
  SshFreeAddress(address);
  auto* socket = new LocalSocket(plug);
  socket->Start(words);
  for (std::string& w : words) explicit_bzero(w.data(), w.size());
  return socket;
}
