#include "ocx/registration.h"

#include <cstdio>

#include "platform/registry/registry.h"

namespace ocx {
namespace {

using plat::HKEY_CLASSES_ROOT;

// Writes every value; the first failure is the result.
class Writer {
 public:
  void Set(const std::string& key, const char* name, const std::string& value) {
    if (result_ == plat::ERROR_SUCCESS) result_ = plat::RegSetString(HKEY_CLASSES_ROOT, key.c_str(), name, value);
  }
  HRESULT Result() const { return result_ == plat::ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS; }

 private:
  uint32_t result_ = plat::ERROR_SUCCESS;
};

}  // namespace

std::string GuidString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

HRESULT RegisterControl(const ControlDescriptor& d, const std::string& modulePath) {
  const std::string clsid = GuidString(d.clsid);
  const std::string key = "CLSID\\" + clsid;
  char version[32];
  std::snprintf(version, sizeof version, "%u.%u", d.fileVersion[0], d.fileVersion[1]);
  char misc[16];
  std::snprintf(misc, sizeof misc, "%u", d.miscStatus);

  Writer w;
  w.Set(d.progId, "", d.description);
  w.Set(std::string(d.progId) + "\\CLSID", "", clsid);
  w.Set(d.versionIndependentProgId, "", d.description);
  w.Set(std::string(d.versionIndependentProgId) + "\\CLSID", "", clsid);
  w.Set(std::string(d.versionIndependentProgId) + "\\CurVer", "", d.progId);
  w.Set(key, "", d.description);
  w.Set(key + "\\ProgID", "", d.progId);
  w.Set(key + "\\VersionIndependentProgID", "", d.versionIndependentProgId);
  w.Set(key + "\\InprocServer32", "", modulePath);
  w.Set(key + "\\InprocServer32", "ThreadingModel", "Apartment");
  w.Set(key + "\\Control", "", "");
  w.Set(key + "\\MiscStatus", "", "0");
  w.Set(key + "\\MiscStatus\\1", "", misc);
  w.Set(key + "\\TypeLib", "", GuidString(d.typeLibId));
  w.Set(key + "\\Version", "", version);
  return w.Result();
}

HRESULT UnregisterControl(const ControlDescriptor& d) {
  const std::string key = "CLSID\\" + GuidString(d.clsid);
  for (const std::string& k : {std::string(d.progId), std::string(d.versionIndependentProgId), key}) {
    uint32_t r = plat::RegDeleteTree(HKEY_CLASSES_ROOT, k.c_str());
    if (r != plat::ERROR_SUCCESS && r != plat::ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace ocx
