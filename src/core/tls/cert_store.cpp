// Certificate stores: directories below the registry root per location and store name,
// holding PEM and PKCS#12 files, or one PFX file named directly.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "core/errors/error_codes.h"
#include "core/tls/sec_tls.h"
#include "platform/base/last_error.h"
#include "platform/base/utf.h"

class SecCertStore {
 public:
  std::vector<plat::TlsCertificate> certificates;
};

void SecCertStoreDeleter::operator()(SecCertStore* s) const { delete s; }

namespace {

uint32_t ErrorFor(plat::TlsError e) {
  switch (e) {
    case plat::TlsError::FileNotFound: return cvErrorFileNotFound;
    case plat::TlsError::FileUnreadable: return cvErrorInvalidFileType;
    default: return cvErrorSecurityCredentials;
  }
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

bool LooksLikePfxPath(const std::string& name) {
  auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  return name.find('/') != std::string::npos || strcasecmp(ext.c_str(), ".pfx") == 0 ||
         strcasecmp(ext.c_str(), ".p12") == 0;
}

bool IsCertificateFile(const std::filesystem::path& p) {
  static const char* kExtensions[] = {".pem", ".crt", ".cer", ".pfx", ".p12"};
  std::string ext = p.extension().string();
  return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                     [&](const char* e) { return strcasecmp(ext.c_str(), e) == 0; });
}

}  // namespace

namespace {

// Where a store name leads: a PFX/PEM file or a store directory of a location.
struct StoreWhere {
  uint32_t location = kSecStoreCurrentUser;
  std::string name;
};

StoreWhere ResolveStore(const SecCredentials* credentials, const char* storeName) {
  StoreWhere w;
  w.location = credentials && credentials->storeLocation ? credentials->storeLocation : kSecStoreCurrentUser;
  w.name = storeName ? storeName : "";
  if (StartsWithNoCase(w.name.c_str(), "HKLM:")) {
    w.location = kSecStoreLocalMachine;
    w.name.erase(0, 5);
  } else if (StartsWithNoCase(w.name.c_str(), "HKCU:")) {
    w.location = kSecStoreCurrentUser;
    w.name.erase(0, 5);
  } else {
    std::error_code ec;
    if (!w.name.empty() && std::filesystem::is_regular_file(w.name, ec)) w.location = kSecStorePfxFile;
    else if (!w.name.empty() && LooksLikePfxPath(w.name)) w.location = kSecStorePfxFile;
  }
  return w;
}

// The certificate files of a store directory, in a stable order (for "the first" match).
std::vector<std::filesystem::path> CertificateFiles(const std::filesystem::path& dir) {
  std::error_code ec;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    if (entry.is_regular_file(ec) && IsCertificateFile(entry.path())) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// A file's name and contents: times alone may not tell two quick writes apart.
void AppendFileStamp(std::string& out, const std::filesystem::path& p) {
  out += p.string() + '\0';
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    out += "-;";
    return;
  }
  out.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  out += ';';
}

}  // namespace

std::string SecCertStoreStamp(const SecCredentials* credentials, const char* storeName) {
  const StoreWhere w = ResolveStore(credentials, storeName);
  std::string stamp = std::to_string(w.location) + '|';
  if (w.location == kSecStorePfxFile) {
    if (w.name.empty()) return {};
    AppendFileStamp(stamp, w.name);
    return stamp;
  }
  const std::filesystem::path dir = SecCertStoreDirectory(w.location == kSecStoreLocalMachine, w.name.c_str());
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return {};
  for (const auto& f : CertificateFiles(dir)) AppendFileStamp(stamp, f);
  return stamp;
}

namespace cvcore {

Status OpenCertStore(SecCertStorePtr& store, const SecCredentials* credentials, const char* storeName) {
  SecCloseCertStore(store);
  const StoreWhere where = ResolveStore(credentials, storeName);
  const uint32_t location = where.location;
  const std::string& name = where.name;
  const char* password = credentials ? credentials->certPassword : nullptr;

  auto opened = SecCertStorePtr(new SecCertStore());
  plat::TlsError error = plat::TlsError::None;
  if (location == kSecStorePfxFile) {
    if (name.empty()) return Status(cvErrorInvalidFileName);
    if (!plat::TlsLoadCertificateFile(name, password, opened->certificates, error)) return Status(ErrorFor(error));
  } else {
    std::filesystem::path dir = SecCertStoreDirectory(location == kSecStoreLocalMachine, name.c_str());
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return Status(cvErrorSecurityCredentials);
    // Files that cannot be read are skipped, as a system store skips unusable entries.
    for (const auto& f : CertificateFiles(dir)) plat::TlsLoadCertificateFile(f, password, opened->certificates, error);
  }
  store = std::move(opened);
  return {};
}

Result<plat::TlsCertificate> FindCertificate(const SecCertStore* store, const char* name) {
  if (name == nullptr || *name == '\0') return Status(cvErrorInvalidParameter);
  if (store == nullptr) return Status(cvErrorSecurityCredentials);
  for (const auto& c : store->certificates)
    if (!c.FriendlyName().empty() && strcasecmp(c.FriendlyName().c_str(), name) == 0) return c;
  for (const auto& c : store->certificates)
    if (c.SubjectContains(name)) return c;
  return Status(cvErrorSecurityCredentials);
}

}  // namespace cvcore

int32_t SecOpenCertStore(SecCertStorePtr& store, const SecCredentials* credentials, const char* storeName) {
  const cvcore::Status opened = cvcore::OpenCertStore(store, credentials, storeName);
  if (!opened.ok()) plat::SetLastError(opened.error());
  return opened.ok() ? 1 : 0;
}

void SecCloseCertStore(SecCertStorePtr& store) { store.reset(); }

plat::TlsCertificate SecFindCertificate(const SecCertStore* store, const char* name) {
  const cvcore::Result<plat::TlsCertificate> found = cvcore::FindCertificate(store, name);
  if (!found.ok()) plat::SetLastError(found.error());
  return found.value();
}

int32_t SecSelectClientCertificate(const SecCertStore* store, plat::TlsContext& context) {
  if (store == nullptr) return 0;
  plat::TlsCertificate chosen =
      plat::TlsChooseClientCertificate(store->certificates, context.AcceptableIssuers());
  return chosen && context.SetClientCertificate(chosen) ? 1 : 0;
}

bool SecDescribeConnection(const plat::TlsContext& context, SecSessionInfo& info) {
  plat::TlsConnectionInfo c;
  if (!context.ConnectionInfo(c)) return false;
  info.protocol = c.protocol;
  info.cipher = c.cipher;
  info.cipherStrength = c.cipherStrength;
  info.hash = c.hash;
  info.hashStrength = c.hashStrength;
  info.keyExchange = c.exchange;
  plat::TlsCertificate peer = context.PeerCertificate();
  if (peer) {
    info.validFrom = peer.NotBefore();
    info.validTo = peer.NotAfter();
  }
  return true;
}

char16_t* AnsiToUtf16(char16_t* output, const char* text, int32_t count) {
  if (output == nullptr || text == nullptr || count <= 0) return nullptr;
  return plat::MultiByteToWideChar(text, -1, output, count) > 0 ? output : nullptr;
}
