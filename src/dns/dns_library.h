#pragma once
// The DNS library's instance of the library frame.
#include "core/frame/frame.h"
#include "core/sock/sock.h"
#include "dns/dns_resolver.h"

namespace cvdns {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct LibraryState {
  plat::WSADATA startup;  // filled by the socket start-up of the first full attach
};

struct FrameTraits {
  using Session = DnsResolver;
  using LibraryState = cvdns::LibraryState;
  static constexpr const char* kBanner = "Corvanetics Domain Name Services Library";
  static uint32_t SockStartup(Frame& f) { return uint32_t(::SockStartup(&f.state().startup)); }
  static void SockCleanup(Frame&) { ::SockCleanup(); }
  static plat::WSADATA* StartupData(Frame& f) { return &f.state().startup; }
  static bool InitSession(Frame&, DnsResolver&) { return true; }
  static void AfterFreeAll(Frame& frame);
  static void ReleaseSessionUnlocked(Frame& frame, DnsResolver& resolver);
};

Frame& Library() noexcept;

// Sets the last error and returns -1.
inline int32_t Fail(uint32_t code) noexcept {
  Library().SetLastError(code);
  return -1;
}

// Closes the resolver's query socket when one is open.
void CloseQuerySocket(DnsResolver& r) noexcept;

}  // namespace cvdns
