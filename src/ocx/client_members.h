#pragma once
// The last error, trace and version members of the client controls that keep their
// settings in s_ (bool trace, std::u16string traceFile, int32_t traceFlags) and their
// version text in version_. C is the control class (which befriends this template and
// ControlMembers); Lib names the library calls that differ:
//   static int32_t EnableTrace(const char* file, int32_t flags);  // non-zero when started
//   static void DisableTrace();
//   static void SetLastError(uint32_t code);
//   static uint32_t GetErrorText(uint32_t code, char* buffer);  // 128 characters
// The callers keep their own entry guards, so these bodies run already inside one.
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/errors/error_codes.h"
#include "ocx/control_members.h"
#include "ocx/server_control_helpers.h"
#include "ocx/server_settings.h"

namespace ocx {

template <class C, class Lib>
struct ClientMembers : ControlMembers<C> {
  static HRESULT PutLastError(C& c, int32_t value) {
    Lib::SetLastError(ControlMembers<C>::StoreLastError(c, value));
    return S_OK;
  }

  static HRESULT GetLastErrorString(C& c, BSTR* value) {
    const uint32_t code = c.LastErrorCode();
    char text[128] = {};
    if (code == 0 || Lib::GetErrorText(code, text) == 0)
      std::snprintf(text, sizeof text, "Undefined control error (0x%08X)", code);
    return OutUtf8(text, value);
  }

  // Tracing starts or stops only when the setting changes, and only once the control is
  // initialised (the initialisation starts it otherwise).
  static HRESULT PutTrace(C& c, VARIANT_BOOL value) {
    const bool was = c.s_.trace;
    c.s_.trace = value != VARIANT_FALSE;
    if (!c.IsInitialized()) return S_OK;
    if (c.s_.trace && !was) c.StartTrace();
    else if (!c.s_.trace && was) Lib::DisableTrace();
    return S_OK;
  }

  // A new trace file or new flags take effect at once on a running trace.
  template <class Field, class Value>
  static HRESULT PutTraceSetting(C& c, Field& field, Value value) {
    if (c.IsInitialized() && c.s_.trace) {
      Lib::DisableTrace();
      field = value;
      c.StartTrace();
    }
    field = value;
    return S_OK;
  }

  // Tracing to the file of the settings (the library's default file when there is none).
  static void StartTrace(C& c) {
    const std::string file = Utf16ToUtf8(c.s_.traceFile);
    c.s_.trace = Lib::EnableTrace(c.s_.traceFile.empty() ? nullptr : file.c_str(), c.s_.traceFlags) != 0;
  }
};

// The arguments of a client control's OnError event: the error number's low word and its
// text (borrowed: the firing copies it for each sink).
inline void ErrorEventArguments(uint32_t code, BSTR text, VARIANT& number, VARIANT& description) {
  number.vt = VT_I4;
  number.lVal = int32_t(code & 0xFFFFu);
  description.vt = VT_BSTR;
  description.bstrVal = text;
}

}  // namespace ocx

// The members above as the interface entries of the control class Class, written once for
// every client control that has them (with the control's StartTrace), over the library
// calls Prefix##EnableTrace, DisableTrace, SetLastError and GetErrorText. Used at namespace
// scope.
#define CV_CLIENT_TRACE_ENTRIES(Class, Prefix)                                                               \
  struct Class##Library {                                                                                    \
    static int32_t EnableTrace(const char* file, int32_t flags) { return Prefix##EnableTrace(file, flags); } \
    static void DisableTrace() { Prefix##DisableTrace(); }                                                   \
    static void SetLastError(uint32_t code) { Prefix##SetLastError(code); }                                  \
    static uint32_t GetErrorText(uint32_t code, char* buffer) { return Prefix##GetErrorText(code, buffer); } \
  };                                                                                                         \
  using Class##Members = ::ocx::ClientMembers<Class, Class##Library>;                                        \
  void Class::StartTrace() { Class##Members::StartTrace(*this); }                                            \
  CV_CLIENT_TRACE_MEMBERS(Class, Class##Members)

#define CV_CLIENT_TRACE_MEMBERS(Class, Members)                                 \
  CV_CONTROL_ERROR_ENTRIES(Class, Members)                                      \
  HRESULT Class::put_Trace(VARIANT_BOOL value) {                                \
    CV_OCX_ENTRY;                                                               \
    return Members::PutTrace(*this, value);                                     \
  }                                                                             \
  HRESULT Class::put_TraceFile(BSTR value) {                                    \
    CV_OCX_ENTRY;                                                               \
    return Members::PutTraceSetting(*this, s_.traceFile, ::ocx::InText(value)); \
  }                                                                             \
  HRESULT Class::put_TraceFlags(int32_t value) {                                \
    CV_OCX_ENTRY;                                                               \
    return Members::PutTraceSetting(*this, s_.traceFlags, value);               \
  }

// Setting accessors of the client controls: the reads answer only in run mode.
#define CV_CLIENT_TEXT_GETTER(Class, Name, field) \
  HRESULT Class::get_##Name(BSTR* value) {        \
    CV_SERVER_RUN_MODE_ONLY;                      \
    return ::ocx::OutText(s_.field, value);       \
  }

#define CV_CLIENT_TEXT_PROPERTY(Class, Name, field) \
  CV_CLIENT_TEXT_GETTER(Class, Name, field)         \
  HRESULT Class::put_##Name(BSTR value) {           \
    CV_OCX_ENTRY;                                   \
    s_.field = ::ocx::InText(value);                \
    return S_OK;                                    \
  }

#define CV_CLIENT_BOOL_PROPERTY(Class, Name, field) \
  HRESULT Class::get_##Name(VARIANT_BOOL* value) {  \
    CV_SERVER_RUN_MODE_ONLY;                        \
    return ::ocx::OutBool(s_.field, value);         \
  }                                                 \
  HRESULT Class::put_##Name(VARIANT_BOOL value) {   \
    CV_OCX_ENTRY;                                   \
    s_.field = value != VARIANT_FALSE;              \
    return S_OK;                                    \
  }
