#pragma once
// The server's side of a TLS connection that a scripted server took over (a command channel
// after AUTH TLS, say), read and written by lines. The including target links OpenSSL.
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <filesystem>
#include <string>

namespace cvtest {

class TlsLines {
 public:
  // certificate: a PEM file with the certificate and its key.
  TlsLines(int fd, const std::filesystem::path& certificate) {
    // A client that has gone must not end the test: a write to it fails instead.
    ::signal(SIGPIPE, SIG_IGN);
    timeval limit{10, 0};  // a stuck test ends, it does not hang
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_use_certificate_chain_file(ctx_, certificate.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, certificate.c_str(), SSL_FILETYPE_PEM);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd);
    ok_ = SSL_accept(ssl_) == 1;
  }
  ~TlsLines() {
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  TlsLines(const TlsLines&) = delete;
  TlsLines& operator=(const TlsLines&) = delete;

  bool ok() const { return ok_; }
  // One line without its CR LF; false when the connection ended.
  bool ReadLine(std::string& line) {
    for (;;) {
      const size_t nl = pending_.find("\r\n");
      if (nl != std::string::npos) {
        line = pending_.substr(0, nl);
        pending_.erase(0, nl + 2);
        return true;
      }
      char buf[512];
      const int n = SSL_read(ssl_, buf, sizeof buf);
      if (n <= 0) return false;
      pending_.append(buf, size_t(n));
    }
  }
  void Send(const std::string& line) {
    const std::string text = line + "\r\n";
    SSL_write(ssl_, text.data(), int(text.size()));
  }

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
  std::string pending_;
};

}  // namespace cvtest
