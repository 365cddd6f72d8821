#pragma once
// The machine's resolver configuration, standing in for the adapters' DNS server lists:
// the name servers and the local domain of resolv.conf. Tests point it at a file of their
// own so that the machine's configuration is never read.
#include <string>
#include <vector>

namespace plat {

struct DnsConfiguration {
  std::vector<std::string> nameServers;  // "nameserver" lines in file order, as written
  std::string domain;                    // the "domain" line, else the first "search" entry
};

// Reads the configuration file; false when it cannot be read.
bool ReadDnsConfiguration(DnsConfiguration* out);

// Replaces the file read (null or empty: /etc/resolv.conf again). Process-wide.
void SetDnsConfigurationPath(const char* path);

}  // namespace plat
