#pragma once
// Windows Sockets error numbers and their mapping from errno and getaddrinfo results.
// Every socket failure of the platform layer reaches the libraries as one of these numbers
// in the thread's last error. Header-only so that static libraries can map errors too.
#include <netdb.h>

#include <cerrno>
#include <cstdint>

namespace plat {

inline constexpr uint32_t WSA_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t WSAEINTR = 10004;
inline constexpr uint32_t WSAEBADF = 10009;
inline constexpr uint32_t WSAEACCES = 10013;
inline constexpr uint32_t WSAEFAULT = 10014;
inline constexpr uint32_t WSAEINVAL = 10022;
inline constexpr uint32_t WSAEMFILE = 10024;
inline constexpr uint32_t WSAEWOULDBLOCK = 10035;
inline constexpr uint32_t WSAEINPROGRESS = 10036;
inline constexpr uint32_t WSAEALREADY = 10037;
inline constexpr uint32_t WSAENOTSOCK = 10038;
inline constexpr uint32_t WSAEDESTADDRREQ = 10039;
inline constexpr uint32_t WSAEMSGSIZE = 10040;
inline constexpr uint32_t WSAEPROTOTYPE = 10041;
inline constexpr uint32_t WSAENOPROTOOPT = 10042;
inline constexpr uint32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr uint32_t WSAESOCKTNOSUPPORT = 10044;
inline constexpr uint32_t WSAEOPNOTSUPP = 10045;
inline constexpr uint32_t WSAEPFNOSUPPORT = 10046;
inline constexpr uint32_t WSAEAFNOSUPPORT = 10047;
inline constexpr uint32_t WSAEADDRINUSE = 10048;
inline constexpr uint32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr uint32_t WSAENETDOWN = 10050;
inline constexpr uint32_t WSAENETUNREACH = 10051;
inline constexpr uint32_t WSAENETRESET = 10052;
inline constexpr uint32_t WSAECONNABORTED = 10053;
inline constexpr uint32_t WSAECONNRESET = 10054;
inline constexpr uint32_t WSAENOBUFS = 10055;
inline constexpr uint32_t WSAEISCONN = 10056;
inline constexpr uint32_t WSAENOTCONN = 10057;
inline constexpr uint32_t WSAESHUTDOWN = 10058;
inline constexpr uint32_t WSAETOOMANYREFS = 10059;
inline constexpr uint32_t WSAETIMEDOUT = 10060;
inline constexpr uint32_t WSAECONNREFUSED = 10061;
inline constexpr uint32_t WSAELOOP = 10062;
inline constexpr uint32_t WSAENAMETOOLONG = 10063;
inline constexpr uint32_t WSAEHOSTDOWN = 10064;
inline constexpr uint32_t WSAEHOSTUNREACH = 10065;
inline constexpr uint32_t WSAENOTEMPTY = 10066;
inline constexpr uint32_t WSAEPROCLIM = 10067;
inline constexpr uint32_t WSAEUSERS = 10068;
inline constexpr uint32_t WSAEDQUOT = 10069;
inline constexpr uint32_t WSAESTALE = 10070;
inline constexpr uint32_t WSAEREMOTE = 10071;
inline constexpr uint32_t WSASYSNOTREADY = 10091;
inline constexpr uint32_t WSAVERNOTSUPPORTED = 10092;
inline constexpr uint32_t WSANOTINITIALISED = 10093;
inline constexpr uint32_t WSAEDISCON = 10101;
inline constexpr uint32_t WSATYPE_NOT_FOUND = 10109;
inline constexpr uint32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr uint32_t WSATRY_AGAIN = 11002;
inline constexpr uint32_t WSANO_RECOVERY = 11003;
inline constexpr uint32_t WSANO_DATA = 11004;

// errno -> Windows Sockets number. A connect's EINPROGRESS is "would block" as well, and
// EINTR never reaches a caller (the adapters retry it), so it has no entry of its own.
constexpr uint32_t WsaErrorFromErrno(int e) noexcept {
  switch (e) {
    case 0: return 0;
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case EBADF: return WSAENOTSOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;  // send after the peer reset or we shut down
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    case EINTR: return WSAEINTR;
    default: return WSAEINVAL;
  }
}

// getaddrinfo/getnameinfo result -> Windows Sockets number. glibc says EAI_NODATA or
// EAI_ADDRFAMILY for "the name exists but has no address of that family"; both become
// WSANO_DATA. savedErrno is consulted for EAI_SYSTEM.
constexpr uint32_t WsaErrorFromGai(int rc, int savedErrno = 0) noexcept {
  switch (rc) {
    case 0: return 0;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_MEMORY: return WSA_NOT_ENOUGH_MEMORY;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_OVERFLOW: return WSAEFAULT;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_SYSTEM: return savedErrno ? WsaErrorFromErrno(savedErrno) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace plat
