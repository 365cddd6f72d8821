#pragma once
// Hooks for tests: the public-address services are asked on a port and host of the test's
// choosing (a local fake), and the in-memory address cache can be forgotten.
#include <cstdint>

namespace cvsock {

// Null names and port 0 restore the defaults (port 80).
void SetExternalAddressServicesForTesting(const char* first, const char* second, uint32_t port);
void ForgetExternalAddressForTesting();

}  // namespace cvsock
