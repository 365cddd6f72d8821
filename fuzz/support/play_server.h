#pragma once
// A server on 127.0.0.1 that plays a fixed byte stream to the next client: for the targets
// whose parser reads from a connection (the HTTP and mail clients, DNS over TCP). Everything
// is written as soon as the client connects and then the stream ends, so the client sees the
// same bytes in the same order on every run.
#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace cvfuzz {

class PlayServer {
 public:
  PlayServer();  // listens on a free port
  ~PlayServer();
  PlayServer(const PlayServer&) = delete;
  PlayServer& operator=(const PlayServer&) = delete;

  int port() const { return port_; }
  // Runs client() while every connection it opens gets `bytes`; returns what the client sent.
  std::string Play(std::string_view bytes, const std::function<void()>& client);

 private:
  int listener_ = -1;
  int port_ = 0;
};

// A UDP socket on 127.0.0.1 that answers the next datagram with `answer`, its first two
// bytes replaced by the datagram's (a DNS identifier); on the port of a PlayServer, so that a
// client can fall back from UDP to TCP on the same port.
class DatagramAnswerer {
 public:
  explicit DatagramAnswerer(int port);
  ~DatagramAnswerer();
  DatagramAnswerer(const DatagramAnswerer&) = delete;
  DatagramAnswerer& operator=(const DatagramAnswerer&) = delete;

  bool ok() const { return socket_ >= 0; }
  // Runs client() while every query that arrives gets the answer.
  void Answer(std::string_view answer, const std::function<void()>& client);

 private:
  int socket_ = -1;
};

}  // namespace cvfuzz
