#pragma once
// The last error and version members every control with those properties shares, server
// or client: C holds version_ and befriends this template. ServerErrorMembers and
// ClientMembers build on it with their libraries' calls.
#include <cstdint>

#include "core/errors/error_codes.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_settings.h"

namespace ocx {

template <class C>
struct ControlMembers {
  static HRESULT GetLastError(C& c, int32_t* value) { return OutLong(int32_t(c.LastErrorCode() & 0xFFFFu), value); }

  // A LastError value taken as the control's error: 1 to 65535 stand for the library's
  // codes with that low word. The code, for the library's own last error.
  static uint32_t StoreLastError(C& c, int32_t value) {
    const uint32_t code = value >= 1 && value <= 0xFFFF ? kCvErrorBase | uint32_t(value) : uint32_t(value);
    c.SetLastErrorCode(code);
    return code;
  }

  static HRESULT GetVersion(C& c, BSTR* value) {
    if (c.version_.empty()) c.version_ = VersionText(c.Descriptor());
    return OutText(c.version_, value);
  }
};

}  // namespace ocx

// The entries the control class Class has the same whatever its kind; Members supplies
// GetLastError, PutLastError, GetLastErrorString and GetVersion.
#define CV_CONTROL_ERROR_ENTRIES(Class, Members)      \
  HRESULT Class::get_LastError(int32_t* value) {      \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return Members::GetLastError(*this, value);       \
  }                                                   \
  HRESULT Class::put_LastError(int32_t value) {       \
    CV_OCX_ENTRY;                                     \
    return Members::PutLastError(*this, value);       \
  }                                                   \
  HRESULT Class::get_LastErrorString(BSTR* value) {   \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return Members::GetLastErrorString(*this, value); \
  }                                                   \
  HRESULT Class::get_Trace(VARIANT_BOOL* value) {     \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return ::ocx::OutBool(s_.trace, value);           \
  }                                                   \
  HRESULT Class::get_TraceFile(BSTR* value) {         \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return ::ocx::OutText(s_.traceFile, value);       \
  }                                                   \
  HRESULT Class::get_TraceFlags(int32_t* value) {     \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return ::ocx::OutLong(s_.traceFlags, value);      \
  }                                                   \
  HRESULT Class::get_Version(BSTR* value) {           \
    CV_SERVER_RUN_MODE_ONLY;                          \
    return Members::GetVersion(*this, value);         \
  }
