#include "dns/dns_library.h"

#include "core/frame/frame_entry_points.h"
#include "core/trace/trace.h"
#include "dns/dns.h"

namespace cvdns {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

void FrameTraits::AfterFreeAll(Frame&) { TraceDisable(); }

void FrameTraits::ReleaseSessionUnlocked(Frame&, DnsResolver& r) { CloseQuerySocket(r); }

void CloseQuerySocket(DnsResolver& r) noexcept {
  if (r.header.controlSocket != INVALID_SOCKET) SockClose(r.header.controlSocket);
  r.header.controlSocket = INVALID_SOCKET;
}

}  // namespace cvdns

CV_FRAME_ENTRY_POINTS(Dns, DnsResolver, cvdns::Library)
