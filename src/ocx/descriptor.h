#pragma once
// What the framework needs to know of one control class: identity, registration data and
// the version it reports.
#include <cstdint>

#include "platform/com/com_types.h"

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
};

}  // namespace ocx
