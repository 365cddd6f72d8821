#pragma once
// The record behind SshAddress: one resolver result list or a list of IPv4 literals,
// with the candidate currently tried.
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>

struct SshAddress {
  uint32_t error;
  uint32_t family;  // 2 IPv4, 23 IPv6, 0 not resolved
  addrinfo* list;
  addrinfo* current;
  uint32_t* ipv4;  // host order
  int32_t ipv4Count;
  int32_t ipv4Index;
  char hostname[512];
};

namespace cvssh::net {
// Native socket address of the current candidate with the port; false when none.
bool CandidateSockaddr(const SshAddress* address, int32_t port, sockaddr_storage* out, int32_t* length);
// Windows family number of the current candidate (IPv4 when it has none).
int32_t CandidateFamily(const SshAddress* address);
}  // namespace cvssh::net
