// MX answers as the resolver reads them: a UDP answer (its identifier set to the query's),
// and when that says it was cut short, a TCP stream on the same port. The first two input
// bytes are the UDP answer's length; what follows it is the TCP stream, length prefixes
// included. Only a loopback server of the target's own is ever asked.
#include <arpa/inet.h>
#include <stdlib.h>

#include <memory>

#include "deadline.h"
#include "dns/dns.h"
#include "dns/dns_resolver.h"
#include "fuzz_target.h"
#include "platform/net/dns_servers.h"
#include "play_server.h"
#include "scratch_dir.h"

namespace {

struct Servers {
  std::unique_ptr<cvfuzz::PlayServer> tcp;
  std::unique_ptr<cvfuzz::DatagramAnswerer> udp;
};

// A TCP and a UDP socket on one port number.
Servers& ServersOnOnePort() {
  static Servers servers = [] {
    for (;;) {
      Servers s;
      s.tcp = std::make_unique<cvfuzz::PlayServer>();
      s.udp = std::make_unique<cvfuzz::DatagramAnswerer>(s.tcp->port());
      if (s.udp->ok()) return s;
    }
  }();
  return servers;
}

bool Setup() {
  // The machine's resolver settings are never read: an own registry and resolv.conf.
  const auto dir = cvfuzz::ScratchDir();
  setenv("CV_REGISTRY_ROOT", (dir / "registry").c_str(), 1);
  const auto conf = dir / "resolv.conf";
  cvfuzz::WriteFile(conf, "domain fuzz.test\n");
  plat::SetDnsConfigurationPath(conf.c_str());
  return DnsAttach(nullptr) == 1;
}

}  // namespace

CV_FUZZ_TARGET(dns_answer) {
  static const bool ready = Setup();
  FUZZ_CHECK(ready);
  Servers& servers = ServersOnOnePort();
  cvfuzz::Input in(data, size);
  const size_t udpLength = in.U16();
  const std::string_view rest = in.Rest();
  std::string udp(rest.substr(0, udpLength));
  const std::string_view tcp = rest.substr(udp.size());
  // A datagram shorter than a header is passed over and the resolver waits out its time:
  // a second per input that shows nothing new. Such answers are made a header long.
  if (udp.size() < 12) udp.resize(12, '\0');

  cvfuzz::Deadline deadline(std::chrono::seconds(10), "one MX look-up");
  const LibHandle h = DnsCreateResolver();
  FUZZ_CHECK(h != kInvalidLibHandle);
  DnsSetNameServer(h, 0, "127.0.0.1");
  for (int32_t slot = 1; slot < kDnsServerSlots; ++slot) DnsSetNameServer(h, slot, "");
  DnsResolver* r = DnsGetSession(h);
  r->servers[0].sin_port = htons(uint16_t(servers.tcp->port()));
  r->timeout = 1;
  r->attempts = 1;
  servers.tcp->Play(tcp, [&] {
    servers.udp->Answer(udp, [&] {
      const char* hosts[kDnsMaxMxHosts];
      const int32_t n = DnsLookupMx(h, "mail.example.org", hosts, kDnsMaxMxHosts);
      FUZZ_CHECK(n <= kDnsMaxMxHosts);
      for (int32_t i = 0; i < n; ++i) FUZZ_CHECK(hosts[i] != nullptr);
    });
  });
  DnsDestroyResolver(h);
}
