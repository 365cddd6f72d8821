// Socket options in Windows numbering, translated to their Linux counterparts. Integer
// options are 4 bytes; linger is the two 16-bit fields; time-outs are milliseconds.
// Buffer sizes are only ever raised: asking for less than Linux already gives keeps its
// (autotuned) size.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/net/adapters.h"

namespace plat::net {

namespace {

enum class Kind { Int, Bool, Linger, DontLinger, Millis, Error, ProtectionLevel };

struct Option {
  int level;
  int name;
  Kind kind;
};

// The third of the numbers in a /proc/sys file ("min default max"); 0 when unreadable.
int ThirdNumber(const char* path) {
  FILE* f = std::fopen(path, "re");
  if (!f) return 0;
  long low = 0, initial = 0, most = 0;
  const bool read = std::fscanf(f, "%ld %ld %ld", &low, &initial, &most) == 3;
  std::fclose(f);
  return read && most > 0 && most <= 0x7FFFFFFF ? int(most) : 0;
}

bool ReceiveAutotuned() {
  FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_moderate_rcvbuf", "re");
  if (!f) return false;
  int on = 0;
  const bool read = std::fscanf(f, "%d", &on) == 1;
  std::fclose(f);
  return read && on != 0;
}

// The size up to which the kernel grows a TCP socket's buffer by itself, as long as no
// size was set on it; 0 when it does not.
int AutotunedMost(int name) {
  static const int send = ThirdNumber("/proc/sys/net/ipv4/tcp_wmem");
  static const int receive = ReceiveAutotuned() ? ThirdNumber("/proc/sys/net/ipv4/tcp_rmem") : 0;
  return name == SO_SNDBUF ? send : receive;
}

bool IsTcp(int fd) {
  int protocol = 0;
  socklen_t len = sizeof protocol;
  return ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0 && protocol == IPPROTO_TCP;
}

bool Translate(int32_t level, int32_t option, Option* out) {
  switch (level) {
    case kSolSocket:
      switch (option) {
        case kSoDebug: *out = {SOL_SOCKET, SO_DEBUG, Kind::Bool}; return true;
        case kSoAcceptConn: *out = {SOL_SOCKET, SO_ACCEPTCONN, Kind::Bool}; return true;
        case kSoReuseAddr: *out = {SOL_SOCKET, SO_REUSEADDR, Kind::Bool}; return true;
        case kSoKeepAlive: *out = {SOL_SOCKET, SO_KEEPALIVE, Kind::Bool}; return true;
        case kSoDontRoute: *out = {SOL_SOCKET, SO_DONTROUTE, Kind::Bool}; return true;
        case kSoBroadcast: *out = {SOL_SOCKET, SO_BROADCAST, Kind::Bool}; return true;
        case kSoOobInline: *out = {SOL_SOCKET, SO_OOBINLINE, Kind::Bool}; return true;
        case kSoLinger: *out = {SOL_SOCKET, SO_LINGER, Kind::Linger}; return true;
        case kSoDontLinger: *out = {SOL_SOCKET, SO_LINGER, Kind::DontLinger}; return true;
        case kSoSndBuf: *out = {SOL_SOCKET, SO_SNDBUF, Kind::Int}; return true;
        case kSoRcvBuf: *out = {SOL_SOCKET, SO_RCVBUF, Kind::Int}; return true;
        case kSoSndTimeo: *out = {SOL_SOCKET, SO_SNDTIMEO, Kind::Millis}; return true;
        case kSoRcvTimeo: *out = {SOL_SOCKET, SO_RCVTIMEO, Kind::Millis}; return true;
        case kSoError: *out = {SOL_SOCKET, SO_ERROR, Kind::Error}; return true;
        case kSoType: *out = {SOL_SOCKET, SO_TYPE, Kind::Int}; return true;
      }
      return false;
    case kIpProtoTcp:
      if (option == kTcpNoDelay) {
        *out = {IPPROTO_TCP, TCP_NODELAY, Kind::Bool};
        return true;
      }
      return false;
    case kIpProtoIp:
      if (option == kIpTtl) {
        *out = {IPPROTO_IP, IP_TTL, Kind::Int};
        return true;
      }
      return false;
    case kIpProtoIpv6:
      if (option == kIpv6V6Only) {
        *out = {IPPROTO_IPV6, IPV6_V6ONLY, Kind::Bool};
        return true;
      }
      if (option == kIpv6ProtectionLevel) {
        // Linux has no such restriction: every socket is "unrestricted".
        *out = {IPPROTO_IPV6, 0, Kind::ProtectionLevel};
        return true;
      }
      return false;
  }
  return false;
}

int32_t ReadInt(const char* value) {
  int32_t v;
  std::memcpy(&v, value, sizeof v);
  return v;
}

void WriteInt(char* value, int32_t v) { std::memcpy(value, &v, sizeof v); }

struct WsaLinger {
  uint16_t onoff;
  uint16_t linger;
};

}  // namespace

int GetSockOpt(SOCKET s, int32_t level, int32_t option, char* value, int32_t* length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  if (!value || !length) return Fail(WSAEFAULT);
  Option o;
  if (!Translate(level, option, &o) || o.kind == Kind::DontLinger) return Fail(WSAENOPROTOOPT);
  if (*length < 4) return Fail(WSAEFAULT);
  switch (o.kind) {
    case Kind::Linger: {
      linger l{};
      socklen_t len = sizeof l;
      if (::getsockopt(fd, o.level, o.name, &l, &len) != 0) return FailErrno();
      WsaLinger w{uint16_t(l.l_onoff ? 1 : 0), uint16_t(l.l_linger)};
      std::memcpy(value, &w, sizeof w);
      break;
    }
    case Kind::Millis: {
      timeval tv{};
      socklen_t len = sizeof tv;
      if (::getsockopt(fd, o.level, o.name, &tv, &len) != 0) return FailErrno();
      WriteInt(value, int32_t(tv.tv_sec * 1000 + tv.tv_usec / 1000));
      break;
    }
    case Kind::ProtectionLevel:
      WriteInt(value, kProtectionLevelUnrestricted);
      break;
    default: {
      int v = 0;
      socklen_t len = sizeof v;
      if (::getsockopt(fd, o.level, o.name, &v, &len) != 0) return FailErrno();
      if (o.kind == Kind::Error) v = int(WsaErrorFromErrno(v));
      if (o.kind == Kind::Bool) v = v ? 1 : 0;
      WriteInt(value, v);
    }
  }
  *length = 4;
  return 0;
}

int SetSockOpt(SOCKET s, int32_t level, int32_t option, const char* value, int32_t length) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  Option o;
  if (!Translate(level, option, &o) || o.kind == Kind::Error) return Fail(WSAENOPROTOOPT);
  if (o.kind == Kind::DontLinger) {
    linger l{0, 0};
    return ::setsockopt(fd, o.level, o.name, &l, sizeof l) == 0 ? 0 : FailErrno();
  }
  if (!value || length < 4) return Fail(WSAEFAULT);
  switch (o.kind) {
    case Kind::Linger: {
      WsaLinger w;
      std::memcpy(&w, value, sizeof w);
      linger l{w.onoff ? 1 : 0, int(w.linger)};
      return ::setsockopt(fd, o.level, o.name, &l, sizeof l) == 0 ? 0 : FailErrno();
    }
    case Kind::Millis: {
      uint32_t ms = uint32_t(ReadInt(value));
      timeval tv{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
      return ::setsockopt(fd, o.level, o.name, &tv, sizeof tv) == 0 ? 0 : FailErrno();
    }
    case Kind::ProtectionLevel: return 0;
    default: break;
  }
  int v = ReadInt(value);
  if (o.name == SO_RCVBUF || o.name == SO_SNDBUF) {
    int current = 0;
    socklen_t len = sizeof current;
    if (::getsockopt(fd, o.level, o.name, &current, &len) != 0) return FailErrno();
    if (v <= current) return 0;  // never shrink below what the kernel gives already
    // A size set on a TCP socket fixes it and ends the kernel's own sizing: a 64 KiB send
    // buffer would hold a fast transfer to 128 KiB in flight, with a wake-up for every
    // 128 KiB. Where the kernel grows the buffer that far by itself, it is left to do so.
    if (v <= AutotunedMost(o.name) && IsTcp(fd)) return 0;
  }
  return ::setsockopt(fd, o.level, o.name, &v, sizeof v) == 0 ? 0 : FailErrno();
}

int LimitUnsent(SOCKET s, uint32_t bytes) {
  int fd = FdOf(s);
  if (fd < 0) return -1;
  const int v = int(std::min<uint32_t>(bytes, 0x7FFFFFFF));
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &v, sizeof v) == 0 ? 0 : FailErrno();
}

}  // namespace plat::net
