#include "play_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

#include "loopback.h"

namespace cvfuzz {

namespace {

// Waits for fd to become readable or for the wake-up: true when fd is readable.
bool WaitFor(int fd, int wake) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  while (::poll(p, 2, -1) < 0) {
  }
  return p[1].revents == 0;
}

// Closes every connection still waiting in the backlog.
void DropPending(int listener) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ::close(fd);
  }
}

}  // namespace

PlayServer::PlayServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a = Loopback(0);
  socklen_t n = sizeof a;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
    std::perror("fuzz play server");
    std::abort();
  }
  port_ = ntohs(a.sin_port);
}

PlayServer::~PlayServer() { ::close(listener_); }

std::string PlayServer::Play(std::string_view bytes, const std::function<void()>& client) {
  const int wake = ::eventfd(0, EFD_CLOEXEC);
  std::mutex mu;
  std::vector<int> connections;  // closed only here, after the player is done
  std::string sent;
  std::thread player([&] {
    std::vector<pollfd> watch{{wake, POLLIN, 0}, {listener_, POLLIN, 0}};
    for (;;) {
      while (::poll(watch.data(), watch.size(), -1) < 0) {
      }
      if (watch[0].revents) return;
      if (watch[1].revents) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          {
            std::lock_guard lock(mu);
            connections.push_back(fd);
          }
          // Every connection gets the whole stream, then its end.
          for (size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += size_t(n);
          }
          ::shutdown(fd, SHUT_WR);
          watch.push_back({fd, POLLIN, 0});
        }
      }
      // Keep reading what the client sends until it closes or the run ends: closing with
      // unread bytes would reset the connection and could cost the client the end of the stream.
      for (size_t i = 2; i < watch.size(); ++i) {
        if (!watch[i].revents) continue;
        char buffer[4096];
        const ssize_t n = ::recv(watch[i].fd, buffer, sizeof buffer, 0);
        if (n > 0) sent.append(buffer, size_t(n));
        else watch[i].fd = -1;  // ended: poll skips it from now on
      }
    }
  });
  client();
  // Wakes the player wherever it waits; a send that blocks because the client stopped reading
  // ends with the shut-down connection.
  const uint64_t one = 1;
  (void)!::write(wake, &one, sizeof one);
  {
    std::lock_guard lock(mu);
    for (int fd : connections) ::shutdown(fd, SHUT_RDWR);
  }
  player.join();
  for (int fd : connections) ::close(fd);
  ::close(wake);
  DropPending(listener_);
  return sent;
}

DatagramAnswerer::DatagramAnswerer(int port) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

DatagramAnswerer::~DatagramAnswerer() {
  if (socket_ >= 0) ::close(socket_);
}

void DatagramAnswerer::Answer(std::string_view answer, const std::function<void()>& client) {
  const int wake = ::eventfd(0, EFD_CLOEXEC);
  std::thread answerer([&] {
    std::string reply(answer);
    while (WaitFor(socket_, wake)) {
      char query[2048];
      sockaddr_in from{};
      socklen_t n = sizeof from;
      const ssize_t got = ::recvfrom(socket_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &n);
      if (got < 2) continue;
      if (reply.size() >= 2) reply[0] = query[0], reply[1] = query[1];
      ::sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
    }
  });
  client();
  const uint64_t one = 1;
  (void)!::write(wake, &one, sizeof one);
  answerer.join();
  ::close(wake);
  // Datagrams nobody read stay for no one.
  char drop[2048];
  while (::recv(socket_, drop, sizeof drop, MSG_DONTWAIT) >= 0) {
  }
}

}  // namespace cvfuzz
