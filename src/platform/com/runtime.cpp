// Apartments, task memory, class identifiers and ProgIDs, and in-process servers.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/base/utf.h"
#include "platform/com/com.h"
#include "platform/msg/message.h"
#include "platform/registry/registry.h"

namespace {

struct Apartment {
  int count = 0;
  DWORD mode = 0;
};
thread_local Apartment t_apartment;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" as UTF-8.
std::string GuidText(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool ParseGuid(const std::u16string& s, GUID& out) {
  if (s.size() != 38 || s[0] != u'{' || s[37] != u'}') return false;
  static const int groups[] = {8, 4, 4, 4, 12};
  uint8_t bytes[16];
  size_t pos = 1, n = 0;
  for (int g = 0; g < 5; ++g) {
    if (g && s[pos++] != u'-') return false;
    for (int i = 0; i < groups[g]; i += 2) {
      int v = 0;
      for (int k = 0; k < 2; ++k) {
        char16_t c = s[pos++];
        int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + d;
      }
      bytes[n++] = uint8_t(v);
    }
  }
  out.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  out.Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
  out.Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
  std::memcpy(out.Data4, bytes + 8, 8);
  return true;
}

LPOLESTR TaskString(const std::string& utf8) {
  std::u16string w = plat::ToUtf16(utf8);
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((w.size() + 1) * sizeof(OLECHAR)));
  if (!out) return nullptr;
  std::memcpy(out, w.c_str(), (w.size() + 1) * sizeof(OLECHAR));
  return out;
}

// Modules stay loaded to process exit: objects and factories may outlive any release order.
class ModuleCache {
 public:
  HRESULT Entry(const std::string& path, LPFNGETCLASSOBJECT* entry) {
    std::lock_guard lock(mutex_);
    auto it = modules_.find(path);
    if (it == modules_.end()) {
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) return CO_E_DLLNOTFOUND;
      it = modules_.emplace(path, handle).first;
    }
    *entry = reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(it->second, "DllGetClassObject"));
    return *entry ? S_OK : CO_E_ERRORINDLL;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, void*> modules_;
};

ModuleCache& Modules() {
  static ModuleCache* cache = new ModuleCache;
  return *cache;
}

}  // namespace

void* CoTaskMemAlloc(size_t cb) { return std::malloc(cb ? cb : 1); }
void* CoTaskMemRealloc(void* pv, size_t cb) { return std::realloc(pv, cb ? cb : 1); }
void CoTaskMemFree(void* pv) { std::free(pv); }

HRESULT CoInitializeEx(void*, DWORD dwCoInit) {
  Apartment& a = t_apartment;
  if (a.count > 0) {
    if ((a.mode & COINIT_APARTMENTTHREADED) != (dwCoInit & COINIT_APARTMENTTHREADED)) return RPC_E_CHANGED_MODE;
    ++a.count;
    return S_FALSE;
  }
  // Peeking creates the thread's message queue, which an apartment's objects post to.
  plat::MSG msg;
  plat::PeekMessage(&msg, nullptr, 0, 0, plat::PM_NOREMOVE);
  a.mode = dwCoInit;
  a.count = 1;
  return S_OK;
}

HRESULT CoInitialize(void* pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
  if (t_apartment.count > 0) --t_apartment.count;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  std::string text = GuidText(rguid);
  if (!lpsz || cchMax < int(text.size() + 1)) return 0;
  for (size_t i = 0; i <= text.size(); ++i) lpsz[i] = char16_t(text.c_str()[i]);
  return int(text.size() + 1);
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = TaskString(GuidText(rclsid));
  return *lplpsz ? S_OK : E_OUTOFMEMORY;
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  if (!lpsz || !lpiid) return E_INVALIDARG;
  return ParseGuid(lpsz, *lpiid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  std::string progId = plat::ToUtf8(lpszProgID);
  // A version-independent ProgID without its own CLSID follows CurVer (a few steps at most).
  for (int hop = 0; hop < 4 && !progId.empty() && progId.find('\\') == std::string::npos; ++hop) {
    if (auto clsid = plat::RegGetString(plat::HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str(), "")) {
      return ParseGuid(plat::ToUtf16(*clsid), *lpclsid) ? S_OK : CO_E_CLASSSTRING;
    }
    auto next = plat::RegGetString(plat::HKEY_CLASSES_ROOT, (progId + "\\CurVer").c_str(), "");
    if (!next) break;
    progId = *next;
  }
  return CO_E_CLASSSTRING;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid) {
  if (!lpsz || !pclsid) return E_INVALIDARG;
  if (lpsz[0] == u'{') return ParseGuid(lpsz, *pclsid) ? S_OK : CO_E_CLASSSTRING;
  return CLSIDFromProgID(lpsz, pclsid);
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (!lplpszProgID) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  auto progId = plat::RegGetString(plat::HKEY_CLASSES_ROOT, ("CLSID\\" + GuidText(clsid) + "\\ProgID").c_str(), "");
  if (!progId || progId->empty()) return REGDB_E_CLASSNOTREG;
  *lplpszProgID = TaskString(*progId);
  return *lplpszProgID ? S_OK : E_OUTOFMEMORY;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
  if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
  auto path = plat::RegGetString(plat::HKEY_CLASSES_ROOT,
                                 ("CLSID\\" + GuidText(rclsid) + "\\InprocServer32").c_str(), "");
  if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
  LPFNGETCLASSOBJECT entry = nullptr;
  if (HRESULT hr = Modules().Entry(*path, &entry); FAILED(hr)) return hr;
  return entry(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  // An aggregating outer object may only ask for IUnknown.
  if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}
