// The URL property: composed from the connection properties, and parsed into them.
#include <memory>
#include <string>

#include "core/url/url.h"
#include "filexfer/ocx/file_transfer.h"
#include "ftp/ftp_bits.h"
#include "ocx/variant_args.h"
#include "platform/base/utf.h"

namespace filexfer {
namespace {

struct UrlFreer {
  void operator()(void* p) const { UrlFree(p); }
};

char* OrNull(std::string& s) { return s.empty() ? nullptr : s.data(); }

HRESULT PutText(CFileTransfer& c, HRESULT (CFileTransfer::*put)(BSTR), const char* utf8) {
  std::u16string w = plat::ToUtf16(utf8 ? utf8 : "");
  BSTR b = SysAllocStringLen(w.data(), UINT(w.size()));
  if (!b) return E_OUTOFMEMORY;
  HRESULT hr = (c.*put)(b);
  SysFreeString(b);
  return hr;
}

}  // namespace

HRESULT CFileTransfer::get_URL(BSTR* value) {
  CV_OCX_ENTRY;
  if (!IsRunMode()) return ocx::kCtlErrorGetNotSupported;
  if (!value) return E_POINTER;
  std::string host = ocx::Utf16ToUtf8(s_.serverName), resource = ocx::Utf16ToUtf8(s_.resource);
  std::string user = ocx::Utf16ToUtf8(s_.userName), password = ocx::Utf16ToUtf8(s_.password);
  std::string text;
  if (!host.empty() && (s_.serverType == kServerFtp || s_.serverType == kServerHttp)) {
    text.resize(host.size() + resource.size() + user.size() + password.size() + 128);
    if (s_.serverType == kServerFtp) {
      std::string path, file;
      const size_t slash = resource.rfind('/');
      if (slash == std::string::npos) {
        file = resource;
      } else {
        path = resource.substr(0, slash);
        file = resource.substr(slash + 1);
      }
      FtpUrl url{};
      url.scheme = !s_.secure ? 1 : (s_.options & cvftp::kOptSftp) ? 3 : 2;
      url.port = uint32_t(s_.serverPort);
      url.type = uint32_t(s_.fileType);
      url.host = host.data();
      url.path = OrNull(path);
      url.file = OrNull(file);
      url.user = OrNull(user);
      url.password = OrNull(password);
      text.resize(size_t(std::max(0, FtpComposeUrl(&url, text.data(), uint32_t(text.size())))));
    } else {
      // The query travels in its own field so that the path normalisation leaves it alone.
      std::string path = resource, query;
      if (size_t q = resource.find('?'); q != std::string::npos) {
        path = resource.substr(0, q);
        query = resource.substr(q + 1);
      }
      HttpUrl url{};
      url.scheme = s_.secure ? 2 : 1;
      url.port = uint32_t(s_.serverPort);
      url.host = host.data();
      url.path = OrNull(path);
      url.query = OrNull(query);
      url.user = OrNull(user);
      url.password = OrNull(password);
      text.resize(size_t(std::max(0, HttpComposeUrl(&url, text.data(), uint32_t(text.size())))));
    }
  }
  *value = ocx::Utf8ToUtf16(text.c_str());
  return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CFileTransfer::put_URL(BSTR value) {
  CV_OCX_ENTRY;
  const std::string text = ocx::Utf16ToUtf8(value);
  if (text.empty()) {
    s_.options &= ~(cvftp::kOptTls | cvftp::kOptTlsExplicit | cvftp::kOptSftp);
    s_.password.clear();
    s_.resource.clear();
    s_.serverDirectory.clear();
    s_.serverName.clear();
    s_.userName.clear();
    put_Secure(VARIANT_FALSE);
    s_.serverPort = 0;
    s_.serverType = kServerUndefined;
    return S_OK;
  }
  if (text[0] == '/') {
    s_.resource = plat::ToUtf16(text);
    return S_OK;
  }
  // An unrecognised or broken URL changes nothing.
  const int32_t typeBefore = s_.serverType;
  if (!ServerTypeFromUrl(text)) return ocx::kCtlErrorInvalidPropertyValue;

  if (s_.serverType == kServerHttp) {
    HttpUrl* parsed = nullptr;
    if (HttpParseUrl(text.c_str(), kHttpUrlNormalize, &parsed) != 1 || !parsed) {
      UrlFree(parsed);
      s_.serverType = typeBefore;
      return ocx::kCtlErrorInvalidPropertyValue;
    }
    std::unique_ptr<HttpUrl, UrlFreer> url(parsed);
    put_Secure(url->scheme == 2 ? VARIANT_TRUE : VARIANT_FALSE);
    if (url->host)
      if (HRESULT hr = PutText(*this, &CFileTransfer::put_ServerName, url->host); FAILED(hr)) return hr;
    put_ServerPort(int32_t(url->port));
    std::string resource = url->path ? url->path : "";
    if (url->query) resource += std::string("?") + url->query;
    s_.resource = plat::ToUtf16(resource);
    if (url->user) s_.userName = plat::ToUtf16(url->user);
    if (url->password) s_.password = plat::ToUtf16(url->password);
    return S_OK;
  }

  FtpUrl* parsed = nullptr;
  if (FtpParseUrl(text.c_str(), &parsed) != 1 || !parsed) {
    UrlFree(parsed);
    s_.serverType = typeBefore;
    return ocx::kCtlErrorInvalidPropertyValue;
  }
  std::unique_ptr<FtpUrl, UrlFreer> url(parsed);
  if (url->scheme == 2) {
    s_.options |= cvftp::kOptTls;
    // Implicit TLS on its own ports; an explicit choice left by an earlier URL would
    // contradict the one just given.
    if (url->port != 990 && url->port != 22) s_.options |= cvftp::kOptTlsExplicit;
    else s_.options &= ~cvftp::kOptTlsExplicit;
    put_Secure(VARIANT_TRUE);
  } else if (url->scheme == 3) {
    s_.options = (s_.options & ~cvftp::kOptTlsExplicit) | cvftp::kOptTls | cvftp::kOptSftp;
    put_Secure(VARIANT_TRUE);
  } else {
    s_.options &= ~(cvftp::kOptTls | cvftp::kOptTlsExplicit);
    put_Secure(VARIANT_FALSE);
  }
  if (HRESULT hr = put_FileType(int32_t(url->type)); FAILED(hr)) return hr;
  if (url->host)
    if (HRESULT hr = PutText(*this, &CFileTransfer::put_ServerName, url->host); FAILED(hr)) return hr;
  if (HRESULT hr = put_ServerPort(int32_t(url->port)); FAILED(hr)) return hr;
  if (url->user) {
    s_.userName = plat::ToUtf16(url->user);
    s_.password = plat::ToUtf16(url->password ? url->password : "");
  } else {
    s_.userName = u"anonymous";
    s_.password = plat::ToUtf16(url->password ? url->password : "gast@");
  }
  std::string resource;
  if (url->path && *url->path) {
    resource = url->path;
    if (url->file) resource += std::string("/") + url->file;
  } else if (url->file) {
    resource = url->file;
  }
  s_.resource = plat::ToUtf16(resource);
  return S_OK;
}

}  // namespace filexfer
