#pragma once
// Setting accessors the server controls share. The macros define a property pair of the
// control class Class that reads only in run mode and refuses changes while a server runs;
// Class holds its settings in s_ and supplies RunningSetRefused and SetOptionBit.
#include <cstdint>
#include <string>

#include "ocx/server_control_helpers.h"

namespace ocx {

int32_t Clamp(int32_t v, int32_t lo, int32_t hi);
// A UUID text with or without braces in its canonical form, or empty when it is not one.
std::string CanonicalUuid(std::string text);

}  // namespace ocx

#define CV_SERVER_RUN_MODE_ONLY \
  CV_OCX_ENTRY;                 \
  if (!IsRunMode()) return ::ocx::kCtlErrorGetNotSupported

#define CV_REFUSED_WHILE_RUNNING \
  CV_OCX_ENTRY;                  \
  if (HRESULT refused = RunningSetRefused(); FAILED(refused)) return refused

#define CV_SERVER_SETTING_STRING(Class, Name, field) \
  HRESULT Class::get_##Name(BSTR* value) {           \
    CV_SERVER_RUN_MODE_ONLY;                         \
    return ::ocx::OutText(s_.field, value);          \
  }                                                  \
  HRESULT Class::put_##Name(BSTR value) {            \
    CV_REFUSED_WHILE_RUNNING;                        \
    s_.field = ::ocx::InText(value);                 \
    return S_OK;                                     \
  }

#define CV_SERVER_SETTING_CLAMPED(Class, Name, field, lo, hi) \
  HRESULT Class::get_##Name(int32_t* value) {                 \
    CV_SERVER_RUN_MODE_ONLY;                                  \
    return ::ocx::OutLong(s_.field, value);                   \
  }                                                           \
  HRESULT Class::put_##Name(int32_t value) {                  \
    CV_REFUSED_WHILE_RUNNING;                                 \
    s_.field = ::ocx::Clamp(value, lo, hi);                   \
    return S_OK;                                              \
  }

#define CV_SERVER_SETTING_OPTION(Class, Name, bit)          \
  HRESULT Class::get_##Name(VARIANT_BOOL* value) {          \
    CV_SERVER_RUN_MODE_ONLY;                                \
    return ::ocx::OutBool((s_.options & (bit)) != 0, value); \
  }                                                         \
  HRESULT Class::put_##Name(VARIANT_BOOL value) {           \
    CV_OCX_ENTRY;                                           \
    return SetOptionBit(bit, value);                        \
  }
