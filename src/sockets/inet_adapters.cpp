// The local adapters and their addresses, from the system's interface list, cached for
// five minutes.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "platform/base/tick.h"
#include "sockets/inet_internal.h"

using namespace cvsock;

namespace {

constexpr uint32_t kAdapterCacheMs = 300000;

struct AdapterCache {
  std::unique_ptr<InetAdapterList> list;
  uint32_t fetchedTick = 0;
};

AdapterCache& Cache() {
  static AdapterCache cache;
  return cache;
}

InetAdapter* AdapterNamed(InetAdapterList& list, const char* name, unsigned flags) {
  for (uint32_t i = 0; i < list.count; ++i)
    if (std::strcmp(list.adapters[i].name, name) == 0) return &list.adapters[i];
  if (list.count == std::size(list.adapters)) return nullptr;
  InetAdapter& a = list.adapters[list.count++];
  a = InetAdapter{};
  std::strncpy(a.name, name, sizeof a.name - 1);
  a.operStatus = (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 2;
  a.type = (flags & IFF_LOOPBACK) ? kInetAdapterLoopback
           : (flags & IFF_POINTOPOINT) ? kInetAdapterTunnel
                                       : kInetAdapterEthernet;
  return &a;
}

bool Fetch(InetAdapterList& list) {
  ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return false;
  list.count = 0;
  for (ifaddrs* i = all; i; i = i->ifa_next) {
    InetAdapter* a = AdapterNamed(list, i->ifa_name, i->ifa_flags);
    if (!a || !i->ifa_addr) continue;
    if (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6) continue;
    if (a->addressCount == std::size(a->addresses)) continue;
    InetSplitSockaddr(i->ifa_addr, &a->addresses[a->addressCount++], nullptr);
  }
  ::freeifaddrs(all);
  return true;
}

}  // namespace

const InetAdapterList* InetGetAdapterList() {
  std::lock_guard lk(Library().lock());
  AdapterCache& c = Cache();
  const uint32_t now = plat::GetTickCount();
  if (c.list && now - c.fetchedTick < kAdapterCacheMs) return c.list.get();
  if (!c.list) c.list = std::make_unique<InetAdapterList>();
  if (!Fetch(*c.list)) {
    c.list.reset();
    return Fail<const InetAdapterList*>(cvErrorInternalFailure, nullptr);
  }
  c.fetchedTick = now;
  return c.list.get();
}

int32_t InetListLocalAddresses(SockAddress* addresses) {
  if (InetIsInitialized() == 0) return -1;
  std::lock_guard lk(Library().lock());
  const InetAdapterList* list = InetGetAdapterList();
  if (!list) return -1;
  int32_t count = 0;
  for (uint32_t i = 0; i < list->count; ++i) {
    const InetAdapter& a = list->adapters[i];
    if (a.operStatus != 1 || a.type == kInetAdapterLoopback || a.type == kInetAdapterTunnel) continue;
    for (uint32_t j = 0; j < a.addressCount; ++j) {
      if (addresses) {
        if (count == int32_t(kInetMaxLocalAddresses)) return count;
        addresses[count] = a.addresses[j];
      }
      ++count;
    }
  }
  return count;
}
