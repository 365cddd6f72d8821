#pragma once
// The DNS library's instance of the library frame.
#include "core/errors/status.h"
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

using cvcore::Result;
using cvcore::Status;

// Where an entry point ends: a failure's code becomes the last error (a success leaves it);
// the result, or -1.
inline int32_t Finish(const Result<int32_t>& outcome) noexcept { return Library().Finish(outcome, -1); }
// Where an entry point ends whose success may come with a note (the error a look-up ran
// into on its way, which stays the last error): the result, or -1 with the failure's code.
inline int32_t FinishNoted(const Result<int32_t>& outcome, Status note) noexcept {
  if (!outcome.ok()) return Finish(outcome);
  if (!note.ok()) Library().SetLastError(note.error());
  return outcome.value();
}

// Wire-format names (the work of DnsEncodeName and DnsExpandName).
Result<int32_t> EncodeName(const char* name, uint8_t* output, int32_t room, const uint8_t** list,
                           const uint8_t** end) noexcept;
Result<int32_t> ExpandName(const uint8_t* message, const uint8_t* end, const uint8_t* position, char* output) noexcept;

// Closes the resolver's query socket when one is open.
void CloseQuerySocket(DnsResolver& r) noexcept;

}  // namespace cvdns
