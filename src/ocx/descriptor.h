#pragma once
// What the framework needs to know of one control class: identity, registration data, the
// version it reports and its type library.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/com/com_types.h"
#include "platform/com/type_library.h"

namespace ocx {

struct ControlDescriptor {
  CLSID clsid;
  IID dualIid;    // the dual interface: error information names it
  IID eventIid;   // the default source interface
  GUID typeLibId;
  const char* progId;                    // versioned, e.g. "Maker.Control.9"
  const char* versionIndependentProgId;  // e.g. "Maker.Control"
  const char* description;               // the class's display name
  uint32_t miscStatus;                   // OLE miscellaneous status of the content aspect
  uint16_t fileVersion[4];               // most significant word first
  const plat::com::TypeLibDesc& (*typeLibrary)();  // the class's type library
};

// The file version as the Version property shows it: "major.minor.build.revision".
inline std::u16string VersionText(const ControlDescriptor& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%hu.%hu.%hu.%hu", d.fileVersion[0], d.fileVersion[1], d.fileVersion[2],
                d.fileVersion[3]);
  return std::u16string(text, text + std::strlen(text));
}

}  // namespace ocx
