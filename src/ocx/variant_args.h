#pragma once
// The argument and result helpers every control method uses: optional numbers read from
// VARIANTs (missing counts as 0), results stored into the caller's VARIANT in the type the
// caller passed, and the string conversions between the host's UTF-16 and the libraries'
// UTF-8. They keep no state and report only HRESULTs.
#include <cstdint>
#include <string>

#include "platform/com/com.h"

namespace ocx {

// Automation errors a control returns (facility 10, "control").
inline constexpr HRESULT kCtlErrorInvalidProcedureCall = HRESULT(0x800A0005);
inline constexpr HRESULT kCtlErrorOverflow = HRESULT(0x800A0006);
inline constexpr HRESULT kCtlErrorInvalidPropertyValue = HRESULT(0x800A017C);
inline constexpr HRESULT kCtlErrorInvalidPropertyIndex = HRESULT(0x800A017D);
inline constexpr HRESULT kCtlErrorSetNotSupported = HRESULT(0x800A017F);
inline constexpr HRESULT kCtlErrorGetNotSupported = HRESULT(0x800A018A);

// VT_EMPTY or VT_ERROR: the argument was left out.
bool IsMissingArgument(const VARIANT& v);

HRESULT VariantToUInt64(const VARIANT* arg, uint64_t* out);
HRESULT VariantToUInt32(const VARIANT* arg, uint32_t* out);
HRESULT VariantToInt32(const VARIANT* arg, int32_t* out);

HRESULT SetVariantLong(VARIANT* result, int32_t value);
HRESULT SetVariantInt64(VARIANT* result, int64_t value);
HRESULT SetVariantStringA(VARIANT* result, const char* utf8);
HRESULT SetVariantBSTR(VARIANT* result, const OLECHAR* text);

// Text of an optional argument: a BSTR as is (null is empty), anything else through
// VariantChangeType. A missing argument gives def when one is given, else the conversion's
// error.
HRESULT VariantToText(const VARIANT& arg, std::u16string* out, const char16_t* def = nullptr);

// Conversions into heap storage, whatever the length of the text. A null input gives an
// empty string (Utf16ToUtf8) or a null BSTR (Utf8ToUtf16).
std::string Utf16ToUtf8(const OLECHAR* text);
std::string Utf16ToUtf8(const std::u16string& text);
BSTR Utf8ToUtf16(const char* text);

}  // namespace ocx
