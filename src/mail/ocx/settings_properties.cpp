// The members that concern the control as a whole: the error properties, tracing, the
// version text, IsInitialized and the stock Enabled property.
#include <cstdio>

#include "core/errors/error_codes.h"
#include "core/trace/trace.h"
#include "mail/ocx/internet_mail.h"
#include "mail/ocx/member_helpers.h"

namespace mailctl {

HRESULT CInternetMail::put_Enabled(VARIANT_BOOL value) { return PutEnabled(value); }
HRESULT CInternetMail::get_Enabled(VARIANT_BOOL* value) { return GetEnabled(value); }

HRESULT CInternetMail::get_LastError(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(Low16(LastErrorCode()), value);
}

HRESULT CInternetMail::put_LastError(int32_t value) {
  CV_OCX_ENTRY;
  uint32_t code = uint32_t(value);
  if (value >= 1 && value <= 65535) code |= kCvErrorBase;
  SetLastErrorCode(code);
  ServerLibrary().setLastError(code);
  return S_OK;
}

HRESULT CInternetMail::get_LastErrorString(BSTR* value) {
  CV_RUN_MODE_ONLY;
  const uint32_t code = LastErrorCode();
  char text[128] = "";
  if (!ServerLibrary().getErrorText(code, text) || !text[0])
    std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
  std::string s(text);
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return OutUtf8(s, value);
}

HRESULT CInternetMail::get_ThrowError(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.throwError, value);
}

HRESULT CInternetMail::put_ThrowError(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  s_.throwError = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT CInternetMail::get_IsInitialized(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(IsInitialized(), value);
}

HRESULT CInternetMail::get_Trace(VARIANT_BOOL* value) {
  CV_RUN_MODE_ONLY;
  return OutBool(s_.trace, value);
}

HRESULT CInternetMail::put_Trace(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  const bool wanted = value != VARIANT_FALSE;
  if (!IsInitialized()) {
    s_.trace = wanted;  // the lazy initialise starts it
    return S_OK;
  }
  if (wanted) {
    StartTrace();
  } else {
    if (s_.trace) TraceDisable();
    s_.trace = false;
  }
  return S_OK;
}

// A running trace takes a new file or new flags by starting again.
void CInternetMail::RestartTrace() {
  if (!IsInitialized() || !s_.trace) return;
  TraceDisable();
  StartTrace();
}

HRESULT CInternetMail::get_TraceFile(BSTR* value) {
  CV_RUN_MODE_ONLY;
  return Out(traceFile_, value);
}

HRESULT CInternetMail::put_TraceFile(BSTR value) {
  CV_OCX_ENTRY;
  In(traceFile_, value);
  RestartTrace();
  return S_OK;
}

HRESULT CInternetMail::get_TraceFlags(int32_t* value) {
  CV_RUN_MODE_ONLY;
  return Out(s_.traceFlags, value);
}

HRESULT CInternetMail::put_TraceFlags(int32_t value) {
  CV_OCX_ENTRY;
  s_.traceFlags = value;
  RestartTrace();
  return S_OK;
}

HRESULT CInternetMail::get_Version(BSTR* value) {
  CV_RUN_MODE_ONLY;
  if (version_.empty()) {
    version_ = ocx::VersionText(Descriptor());
  }
  return Out(version_, value);
}

}  // namespace mailctl
