// The data connection of a transfer: protection commands of a TLS session, active mode
// (PORT/EPRT on a listening socket within the port range) or passive mode (PASV/EPSV with
// the server's advertised address judged), the restart offset, and the accept of an
// active-mode connection.
#include <netinet/in.h>
#include <poll.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/trace/trace.h"
#include "core/url/sock_address.h"
#include "ftp/ftp_hooks.h"
#include "ftp/ftp_internal.h"
#include "ftp/ftp_notify.h"
#include "ftp/ftp_passive_reply.h"
#include "ftp/ftp_transfer.h"
#include "ftp/ftp_wait.h"
#include "platform/base/tick.h"
#include "platform/net/wsa_errors.h"
#include "platform/net/wsa_types.h"

namespace cvftp {

namespace {

constexpr uint32_t kDefaultPortLow = 1025;
constexpr uint32_t kDefaultPortHigh = 4999;
constexpr uint32_t kMaxPortTries = 1000;

// Networks whose addresses a server behind address translation advertises by mistake.
struct Network {
  uint32_t address;
  uint32_t mask;
};
constexpr Network kPrivateNetworks[] = {
    {0x0A000000u, 0xFF000000u}, {0x7F000000u, 0xFF000000u}, {0xAC100000u, 0xFFFF0000u},
    {0xAC110000u, 0xFFFF0000u}, {0xAC120000u, 0xFFFF0000u}, {0xAC130000u, 0xFFFF0000u},
    {0xAC140000u, 0xFFFF0000u}, {0xAC150000u, 0xFFFF0000u}, {0xAC160000u, 0xFFFF0000u},
    {0xAC170000u, 0xFFFF0000u}, {0xAC180000u, 0xFFFF0000u}, {0xAC190000u, 0xFFFF0000u},
    {0xAC1A0000u, 0xFFFF0000u}, {0xAC1B0000u, 0xFFFF0000u}, {0xAC1C0000u, 0xFFFF0000u},
    {0xAC1D0000u, 0xFFFF0000u}, {0xAC1E0000u, 0xFFFF0000u}, {0xAC1F0000u, 0xFFFF0000u},
    {0xC0A80000u, 0xFFFF0000u},
};
static_assert(sizeof kPrivateNetworks / sizeof kPrivateNetworks[0] == 19);

bool IsPrivate(const SockAddress& a) noexcept {
  if (a.family == plat::kAfInet) {
    const uint32_t v = uint32_t(a.address[0]) << 24 | uint32_t(a.address[1]) << 16 | uint32_t(a.address[2]) << 8 |
                       uint32_t(a.address[3]);
    for (const Network& n : kPrivateNetworks)
      if ((v & n.mask) == n.address) return true;
    return false;
  }
  static constexpr uint8_t kZero[16] = {};
  static constexpr uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (!std::memcmp(a.address, kZero, 16) || !std::memcmp(a.address, kLoopback, 16)) return true;
  return a.address[0] == 0xFE && ((a.address[1] & 0xC0) == 0x80 || (a.address[1] & 0xC0) == 0xC0);
}

const SockAddress& PeerAddress(const FtpSession& s) noexcept {
  return s.proxyType != kProxyNone ? s.proxyAddress : s.serverAddress;
}

// A failure after the data socket was opened: the socket goes.
Status Closing(FtpSession& s, Status failure) noexcept {
  CloseDataChannel(s);
  return failure;
}

// A command that failed (the engine's error) or answered another code than expected.
Status Unexpected(FtpSession& s, const Result<int32_t>& reply) noexcept {
  if (Gone(s)) return kSessionGone;
  return Closing(s, reply.ok() ? Status(cvErrorInvalidServerResponse) : reply.status());
}

bool Is2xx(int32_t code) noexcept { return code >= 200 && code <= 299; }
bool Is2xx(const Result<int32_t>& reply) noexcept { return reply.ok() && Is2xx(reply.value()); }

// PBSZ once per session and PROT before each data connection of a TLS session; a server
// that refuses either loses the feature.
void SendProtection(FtpSession& s) noexcept {
  SendPbszOnce(s);
  if (Gone(s)) return;
  if (s.features & kFeatureProt)
    if (!Is2xx(SendCommand(s, "PROT", s.dataProtected ? "P" : "C"))) s.features &= ~kFeatureProt;
}

// Passive mode: the server's address and port for the data connection.
Status PassiveTarget(FtpSession& s, SockAddress* target, uint32_t* port) noexcept {
  const SockAddress& peer = PeerAddress(s);
  *target = peer;
  const Status invalid(cvErrorInvalidServerResponse);
  if (peer.family == plat::kAfInet6) {
    const Result<int32_t> r = SendCommand(s, "EPSV", "2");
    if (!r.ok()) return r.status();
    char address[64];
    if (r.value() != 229 || !ParseEpsv(s.replyText, address, port)) return invalid;
    if (address[0] && SockParseAddress(address, plat::kAfInet6, target) != int32_t(plat::kAfInet6)) return invalid;
  } else {
    const Result<int32_t> r = SendCommand(s, "PASV", nullptr);
    if (!r.ok()) return r.status();
    char address[16];
    if (r.value() != 227 || !ParsePasv(s.replyText, address, port)) return invalid;
    if (!CheckPassiveAddress(s, address, target).ok() || target->family != plat::kAfInet) return invalid;
  }
  if (target->family != peer.family) return invalid;
  // A reply that names another host would send the data connection to a third party (the
  // classic bounce): the data connection always goes to the server the session talks to.
  const size_t addressBytes = peer.family == plat::kAfInet ? 4 : sizeof peer.address;
  if ((s.options & kOptPassiveIgnoreAddress) || std::memcmp(target->address, peer.address, addressBytes) != 0) {
    TracePrintf(kTraceInformation, "Ignoring passive IP address, using host address instead");
    *target = peer;
  }
  // A port of 0 comes only from a broken reply.
  if (*port == 0) return invalid;
  return {};
}

// Binds sock to the local address within the session's active port range.
bool BindActive(FtpSession& s, SOCKET sock, const sockaddr_storage& local, uint32_t length) noexcept {
  sockaddr_storage sa = local;
  auto setPort = [&](uint32_t port) {
    if (sa.ss_family == AF_INET)
      reinterpret_cast<sockaddr_in&>(sa).sin_port = htons(uint16_t(port));
    else
      reinterpret_cast<sockaddr_in6&>(sa).sin6_port = htons(uint16_t(port));
  };
  const uint32_t low = s.activePortLow, high = s.activePortHigh;
  if ((low == kDefaultPortLow && high == kDefaultPortHigh) || low == 0 || high < low) {
    setPort(0);
    return SockBind(sock, reinterpret_cast<sockaddr*>(&sa), int32_t(length)) == 0;
  }
  // Every port of the range once, from a pseudo-random one.
  const uint32_t count = high - low + 1;
  const uint32_t tries = count < kMaxPortTries ? count : kMaxPortTries;
  uint32_t port = low + plat::GetTickCount() % count;
  for (uint32_t i = 0; i < tries; ++i) {
    setPort(port);
    if (SockBind(sock, reinterpret_cast<sockaddr*>(&sa), int32_t(length)) == 0) return true;
    port = port == high ? low : port + 1;
  }
  return false;
}

// Active mode: a listening socket announced with PORT or EPRT.
Status OpenActive(FtpSession& s) noexcept {
  sockaddr_storage local{};
  int32_t localLength = sizeof local;
  if (SockGetLocalName(s.header.controlSocket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
    return PlatformError();
  const SockAddress& peer = PeerAddress(s);
  s.dataSocket = SockCreate(int32_t(peer.family), plat::kSockStream, plat::kIpProtoTcp);
  if (s.dataSocket == INVALID_SOCKET) return PlatformError();
  if (!BindActive(s, s.dataSocket, local, uint32_t(localLength)) || SockListen(s.dataSocket) != 0)
    return Closing(s, PlatformError());
  uint32_t on = 1;
  SockIoctl(s.dataSocket, plat::kFionBio, &on);
  sockaddr_storage bound{};
  int32_t boundLength = sizeof bound;
  if (SockGetLocalName(s.dataSocket, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0)
    return Closing(s, PlatformError());
  char argument[128];
  if (bound.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(bound);
    const auto* a = reinterpret_cast<const uint8_t*>(&in.sin_addr);
    const uint32_t port = ntohs(in.sin_port);
    std::snprintf(argument, sizeof argument, "%u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port >> 8, port & 0xFF);
    if (const Result<int32_t> r = SendCommand(s, "PORT", argument); !r.ok() || r.value() != 200)
      return Unexpected(s, r);
  } else {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(bound);
    char text[64];
    if (!SockInetNtop(plat::kAfInet6, &in6.sin6_addr, text, sizeof text))
      return Closing(s, Status(cvErrorInvalidAddress));
    std::snprintf(argument, sizeof argument, "|2|%s|%u|", text, unsigned(ntohs(in6.sin6_port)));
    if (const Result<int32_t> r = SendCommand(s, "EPRT", argument); !r.ok() || r.value() != 200)
      return Unexpected(s, r);
  }
  return {};
}

// Passive mode: PASV or EPSV, then the connection to the announced port.
Status OpenPassive(FtpSession& s) noexcept {
  SockAddress target{};
  uint32_t port = 0;
  if (const Status found = PassiveTarget(s, &target, &port); !found.ok()) return found;
  const Result<SOCKET> connected = OpenConnection(s, target, port);
  if (connected.ok()) {
    s.dataSocket = connected.value();
    return {};
  }
  if (Gone(s)) return kSessionGone;
  // The server announced the port and then refused it.
  if (cvcore::ErrorNumber(connected.error()) == cvcore::ErrorNumber(cvErrorConnectionRefused))
    return Status(cvErrorConnectionFailed);
  return connected.status();
}

}  // namespace

Status NameDataRefusal(FtpSession& s, Status refusal) noexcept {
  if (s.replyCode == 522 && !s.dataProtected && refusal.error() == cvErrorCachedTlsRequired)
    return Status(cvErrorInvalidSecurityLevel);
  return refusal;
}

void SendPbszOnce(FtpSession& s) noexcept {
  if (!(s.features & kFeaturePbsz) || s.pbszSent) return;
  if (!Is2xx(SendCommand(s, "PBSZ", "0"))) s.features &= ~kFeaturePbsz;
  s.pbszSent = 1;
}

void CloseDataChannel(FtpSession& s) noexcept {
  if (s.dataSocket == INVALID_SOCKET) return;
  hooks::TlsShutdown(s, FtpChannel::Data);
  CloseChannel(s, FtpChannel::Data);
}

bool DataPeerOnThisHost(const FtpSession& s) noexcept {
  sockaddr_storage local{};
  int32_t length = sizeof local;
  if (s.dataSocket == INVALID_SOCKET ||
      SockGetLocalName(s.dataSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return false;
  const SockAddress& peer = PeerAddress(s);
  if (local.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(local).sin_addr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&a);
    return bytes[0] == 127 || (peer.family == plat::kAfInet && std::memcmp(peer.address, bytes, 4) == 0);
  }
  if (local.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(local).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127) ||
           (peer.family == plat::kAfInet6 && std::memcmp(peer.address, &a, 16) == 0);
  }
  return false;
}

Status CheckPassiveAddress(FtpSession& s, const char* text, SockAddress* out) noexcept {
  if (Empty(text) || !out) return Status(cvErrorInvalidParameter);
  SockAddress parsed{};
  if (SockParseAddress(text, (s.options & kOptIpv6) ? plat::kAfInet6 : 0, &parsed) == -1 || parsed.family == 0)
    return Status(cvErrorInvalidAddress);
  *out = IsPrivate(parsed) ? PeerAddress(s) : parsed;
  return {};
}

Status OpenDataConnection(FtpSession& s, uint32_t direction, uint64_t offset) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorOperationNotSupported);
  if (direction > kDirectionAppend) return Status(cvErrorInvalidParameter);
  if (!s.loggedIn) return Status(cvErrorAuthenticationRequired);
  if (s.dataSocket != INVALID_SOCKET) return Status(cvErrorConnectionOpen);
  if (s.options & kOptTls) {
    SendProtection(s);
    if (Gone(s)) return kSessionGone;
  }
  s.restartPending.store(offset != 0);
  s.restartOffset.store(offset);
  if ((s.options & kOptTls) && !hooks::TlsAcquireCredentials(s, FtpChannel::Data).ok())
    return Status(cvErrorSecurityCredentials);
  const uint32_t family = PeerAddress(s).family;
  if (family != plat::kAfInet && family != plat::kAfInet6) return Status(cvErrorProtocolFamily);

  if (const Status opened = s.passive ? OpenPassive(s) : OpenActive(s); !opened.ok()) return GoneOr(s, opened);

  if (s.restartPending.load()) {
    char argument[24];
    std::snprintf(argument, sizeof argument, "%" PRIu64, offset);
    if (const Result<int32_t> r = SendCommand(s, "REST", argument); !r.ok() || r.value() != 350) {
      if (Gone(s)) return kSessionGone;
      s.restartPending.store(0);
      s.restartOffset.store(0);
      return Closing(s, Status(cvErrorOperationNotSupported));
    }
  }
  if (s.notify.notifyWindow && (s.notify.eventMask.load() & kNetworkEventMask))
    if (const Status selected = SelectDataEvents(s, s.notify.notifyWindow, cvcore::kNotifySocketMessage);
        !selected.ok())
      return Closing(s, selected);
  s.bytesBuffered = 0;
  s.dataDirection = uint16_t(direction);
  s.dataCursor = s.dataBuffer;
  s.endOfData = 0;
  s.dataError = 0;
  s.transferEnd.store(0);
  s.transferStart.store(plat::GetTickCount());
  return {};
}

Status AcceptDataConnection(FtpSession& s) noexcept {
  if (s.options & kOptSftp) return Status(cvErrorOperationNotSupported);
  if (s.dataSocket == INVALID_SOCKET) return Status(cvErrorConnectionClosed);
  if (s.passive) return Status(cvErrorConnectionPassive);
  if (const Status waited = WaitSocket(s, s.dataSocket, POLLIN); !waited.ok())
    return Gone(s) ? kSessionGone : Closing(s, waited);
  SOCKET accepted = SockAccept(s.dataSocket, nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return Closing(s, PlatformError());
  const HWND window = s.notify.socketWindow;
  const uint32_t message = s.notify.socketMessage;
  // Letting go of the listening socket's window cannot fail in a way that matters here.
  if (window) static_cast<void>(SelectDataEvents(s, nullptr, 0));
  CloseChannel(s, FtpChannel::Data);
  s.dataSocket = accepted;
  uint32_t on = 1;
  int32_t one = 1;
  SockIoctl(accepted, plat::kFionBio, &on);
  SockSetOption(accepted, plat::kIpProtoTcp, plat::kTcpNoDelay, &one);
  if (window)
    if (const Status selected = SelectDataEvents(s, window, message); !selected.ok()) return Closing(s, selected);
  return {};
}

}  // namespace cvftp

int32_t FtpOpenDataConnection(LibHandle handle, uint32_t direction, uint64_t offset) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::OpenDataConnection(*op.session(), direction, offset), 0, -1) : -1;
}

int32_t FtpCheckPassiveAddress(LibHandle handle, const char* text, SockAddress* address) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::CheckPassiveAddress(*op.session(), text, address), 0, -1) : -1;
}

int32_t FtpAcceptDataConnection(LibHandle handle) {
  cvftp::Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::AcceptDataConnection(*op.session()), 0, -1) : -1;
}
