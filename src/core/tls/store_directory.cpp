// Where a named certificate store lives below the registry root.
#include <strings.h>

#include <system_error>

#include "core/tls/sec_tls.h"
#include "platform/registry/registry.h"

std::filesystem::path SecCertStoreDirectory(bool localMachine, const char* storeName) {
  std::filesystem::path base =
      plat::RegistryRoot() / "CertStores" / (localMachine ? "LocalMachine" : "CurrentUser");
  std::string name = storeName && *storeName ? storeName : "MY";
  // Store names compare without case, like the registry's key names.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(base, ec))
    if (entry.is_directory(ec) && strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0)
      return entry.path();
  return base / name;
}

