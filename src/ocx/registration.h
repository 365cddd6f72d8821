#pragma once
// Registration of a control class in the registry's classes: both ProgIDs (the versioned one
// and the version-independent one with CurVer), the class key with its module path,
// threading model Apartment, miscellaneous status, version and type library.
#include <string>

#include "ocx/descriptor.h"
#include "platform/types.h"

namespace ocx {

HRESULT RegisterControl(const ControlDescriptor& d, const std::string& modulePath);
// Removes what RegisterControl wrote; keys that are already gone are fine.
HRESULT UnregisterControl(const ControlDescriptor& d);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string GuidString(const GUID& g);

}  // namespace ocx
