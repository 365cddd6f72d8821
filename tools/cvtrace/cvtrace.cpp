// A text tracer with the trace library's entry points: one line per socket call with its
// arguments and result (and the error when it failed), the libraries' own text lines,
// and hex dumps of data blocks. Thread-safe; the file is opened by the first start and
// closed by the last stop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/trace/trace_abi.h"

#ifndef CVTRACE_BUILD
#define CVTRACE_BUILD 9530
#endif

#define CVTRACE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int32_t kFlagHexDump = cvtrace::kFlagHexDump;

struct State {
  std::mutex lock;
  FILE* file = nullptr;
  int32_t starts = 0;
  int32_t flags = 0;
  int (*getLastError)() = nullptr;
  void (*setLastError)(int) = nullptr;
};

State& S() {
  static State* s = new State;  // hooks may run while the process ends
  return *s;
}

// Keeps the caller's last error across our own work.
class PreserveError {
 public:
  PreserveError() : saved_(S().getLastError ? S().getLastError() : 0) {}
  ~PreserveError() {
    if (S().setLastError) S().setLastError(saved_);
  }
  int saved() const { return saved_; }

 private:
  int saved_;
};

std::string Prefix() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  localtime_r(&ts.tv_sec, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld [%ld] ", t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000,
                long(syscall(SYS_gettid)));
  return text;
}

void WriteRaw(const std::string& line) {
  State& s = S();
  std::lock_guard lock(s.lock);
  if (!s.file) return;
  std::fputs(line.c_str(), s.file);
  std::fflush(s.file);
}

void HexDump(const void* data, int32_t length) {
  if (!data || length <= 0) return;
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out;
  char piece[16];
  for (int32_t off = 0; off < length; off += 16) {
    std::snprintf(piece, sizeof piece, "%04x ", unsigned(off));
    out += "    ";
    out += piece;
    for (int32_t i = 0; i < 16; ++i) {
      if (off + i < length) std::snprintf(piece, sizeof piece, " %02x", p[off + i]);
      else std::snprintf(piece, sizeof piece, "   ");
      out += piece;
    }
    out += "  ";
    for (int32_t i = 0; i < 16 && off + i < length; ++i) out += char(p[off + i] >= 32 && p[off + i] < 127 ? p[off + i] : '.');
    out += '\n';
  }
  WriteRaw(out);
}

bool Started() {
  State& s = S();
  std::lock_guard lock(s.lock);
  return s.file != nullptr;
}

// One call line: "name(arguments) = result", with the error number on failure.
void CallLine(const char* name, long long result, bool failed, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void CallLine(const char* name, long long result, bool failed, const char* format, ...) {
  PreserveError keep;
  char args[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(args, sizeof args, format, ap);
  va_end(ap);
  char tail[64];
  if (failed) std::snprintf(tail, sizeof tail, " = %lld [error %d]\n", result, keep.saved());
  else std::snprintf(tail, sizeof tail, " = %lld\n", result);
  WriteRaw(Prefix() + name + "(" + args + ")" + tail);
}

std::string AddressText(const sockaddr* a) {
  if (!a) return "null";
  char host[INET6_ADDRSTRLEN] = "?";
  if (a->sa_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(a);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (a->sa_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(a);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return "family " + std::to_string(a->sa_family);
}

long long Sock(SOCKET s) { return s == INVALID_SOCKET ? -1 : (long long)s; }

bool Dumps() {
  State& s = S();
  std::lock_guard lock(s.lock);
  return (s.flags & kFlagHexDump) != 0;
}

}  // namespace

CVTRACE_EXPORT HRESULT DllGetVersion(cvtrace::DllVersionInfo* info) {
  if (!info || info->cbSize != sizeof(cvtrace::DllVersionInfo)) return E_INVALIDARG;
  info->dwMajorVersion = 9;
  info->dwMinorVersion = 5;
  info->dwBuildNumber = CVTRACE_BUILD;
  info->dwPlatformID = 2;
  return S_OK;
}

CVTRACE_EXPORT void cvtrace_initialize(int (*getLastError)(), void (*setLastError)(int)) {
  State& s = S();
  std::lock_guard lock(s.lock);
  s.getLastError = getLastError;
  s.setLastError = setLastError;
}

CVTRACE_EXPORT int32_t cvtrace_start(const char* file, int32_t flags) {
  State& s = S();
  std::lock_guard lock(s.lock);
  if (!s.file) {
    if (!file || !*file) return 0;
    s.file = std::fopen(file, "a");
    if (!s.file) return 0;
  }
  s.flags = flags;
  return ++s.starts;
}

CVTRACE_EXPORT int32_t cvtrace_stop(int32_t) {
  State& s = S();
  std::lock_guard lock(s.lock);
  if (s.starts <= 0) return 0;
  if (--s.starts == 0 && s.file) {
    std::fclose(s.file);
    s.file = nullptr;
  }
  return 1;
}

CVTRACE_EXPORT int32_t cvtrace_write(int32_t kind, const void* data, int32_t length) {
  if (!Started()) return 0;
  PreserveError keep;
  if (length == 0) {
    WriteRaw(Prefix() + (data ? static_cast<const char*>(data) : "") + "\n");
  } else {
    WriteRaw(Prefix() + "data, " + std::to_string(length) + " bytes\n");
    if (kind & kFlagHexDump) HexDump(data, length);
  }
  return 1;
}

CVTRACE_EXPORT void cvtrace_accept(SOCKET r, SOCKET s, const sockaddr* a, const int32_t*) {
  if (Started()) CallLine("accept", Sock(r), r == INVALID_SOCKET, "%lld, %s", Sock(s), AddressText(r == INVALID_SOCKET ? nullptr : a).c_str());
}
CVTRACE_EXPORT void cvtrace_bind(int r, SOCKET s, const sockaddr* a, int32_t len) {
  if (Started()) CallLine("bind", r, r != 0, "%lld, %s, %d", Sock(s), AddressText(a).c_str(), len);
}
CVTRACE_EXPORT void cvtrace_closesocket(int r, SOCKET s) {
  if (Started()) CallLine("closesocket", r, r != 0, "%lld", Sock(s));
}
CVTRACE_EXPORT void cvtrace_connect(int r, SOCKET s, const sockaddr* a, int32_t len) {
  if (Started()) CallLine("connect", r, r != 0, "%lld, %s, %d", Sock(s), AddressText(a).c_str(), len);
}
CVTRACE_EXPORT void cvtrace_getaddrinfo(int r, const char* node, const char* service, const addrinfo* hints,
                                        addrinfo* const*) {
  if (Started())
    CallLine("getaddrinfo", r, r != 0, "\"%s\", %s, family %d", node ? node : "(null)", service ? service : "null",
             hints ? hints->ai_family : 0);
}
CVTRACE_EXPORT void cvtrace_gethostname(int r, const char* buffer, int32_t size) {
  if (Started()) CallLine("gethostname", r, r != 0, "\"%s\", %d", r == 0 && buffer ? buffer : "", size);
}
CVTRACE_EXPORT void cvtrace_getsockname(int r, SOCKET s, const sockaddr* a, const int32_t*) {
  if (Started()) CallLine("getsockname", r, r != 0, "%lld, %s", Sock(s), AddressText(r == 0 ? a : nullptr).c_str());
}
CVTRACE_EXPORT void cvtrace_getsockopt(int r, SOCKET s, int32_t level, int32_t option, const char* value,
                                       const int32_t*) {
  int32_t v = 0;
  if (r == 0 && value) std::memcpy(&v, value, sizeof v);
  if (Started()) CallLine("getsockopt", r, r != 0, "%lld, 0x%x, 0x%x, %d", Sock(s), level, option, v);
}
CVTRACE_EXPORT void cvtrace_ioctlsocket(int r, SOCKET s, int32_t command, const uint32_t* argument) {
  if (Started()) CallLine("ioctlsocket", r, r != 0, "%lld, 0x%x, %u", Sock(s), uint32_t(command), argument ? *argument : 0);
}
CVTRACE_EXPORT void cvtrace_listen(int r, SOCKET s, int32_t backlog) {
  if (Started()) CallLine("listen", r, r != 0, "%lld, %d", Sock(s), backlog);
}
CVTRACE_EXPORT void cvtrace_recv(int r, SOCKET s, const char* buffer, int32_t length, int32_t flags) {
  if (!Started()) return;
  CallLine("recv", r, r < 0, "%lld, %p, %d, 0x%x", Sock(s), static_cast<const void*>(buffer), length, flags);
  if (r > 0 && Dumps()) HexDump(buffer, r);
}
CVTRACE_EXPORT void cvtrace_select(int r, int32_t nfds, const plat::FdSet* rs, const plat::FdSet* ws,
                                   const plat::FdSet* es, const plat::TimeVal* tv) {
  if (Started())
    CallLine("select", r, r < 0, "%d, %u, %u, %u, %s", nfds, rs ? rs->fd_count : 0, ws ? ws->fd_count : 0,
             es ? es->fd_count : 0, tv ? std::to_string(tv->tv_sec * 1000LL + tv->tv_usec / 1000).c_str() : "infinite");
}
CVTRACE_EXPORT void cvtrace_send(int r, SOCKET s, const char* buffer, int32_t length, int32_t flags) {
  if (!Started()) return;
  CallLine("send", r, r < 0, "%lld, %p, %d, 0x%x", Sock(s), static_cast<const void*>(buffer), length, flags);
  if (r > 0 && Dumps()) HexDump(buffer, r);
}
CVTRACE_EXPORT void cvtrace_setsockopt(int r, SOCKET s, int32_t level, int32_t option, const char* value,
                                       int32_t length) {
  int32_t v = 0;
  if (value && length >= 4) std::memcpy(&v, value, sizeof v);
  if (Started()) CallLine("setsockopt", r, r != 0, "%lld, 0x%x, 0x%x, %d, %d", Sock(s), level, option, v, length);
}
CVTRACE_EXPORT void cvtrace_socket(SOCKET r, int32_t family, int32_t type, int32_t protocol) {
  if (Started()) CallLine("socket", Sock(r), r == INVALID_SOCKET, "%d, %d, %d", family, type, protocol);
}
CVTRACE_EXPORT void cvtrace_WSAAsyncSelect(int r, SOCKET s, HWND window, uint32_t message, int32_t events) {
  if (Started())
    CallLine("WSAAsyncSelect", r, r != 0, "%lld, %p, 0x%x, 0x%x", Sock(s), static_cast<void*>(window), message, events);
}
CVTRACE_EXPORT void cvtrace_WSAEnumNetworkEvents(int r, SOCKET s, const void*, const plat::WsaNetworkEvents* e) {
  if (Started())
    CallLine("WSAEnumNetworkEvents", r, r != 0, "%lld, 0x%x", Sock(s), r == 0 && e ? unsigned(e->lNetworkEvents) : 0u);
}
CVTRACE_EXPORT void cvtrace_WSAEventSelect(int r, SOCKET s, const void* event, int32_t events) {
  if (Started()) CallLine("WSAEventSelect", r, r != 0, "%lld, %p, 0x%x", Sock(s), event, events);
}
