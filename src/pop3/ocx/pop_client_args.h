#pragma once
// The argument and result forms of the PopClient methods: the Error and Result
// out-arguments, text results, optional arguments, and the Buffer of Read and Write (a
// string, a 1-, 2- or 4-byte integer or a one-dimensional array of them).
#include <cstdint>
#include <functional>
#include <string>

#include "platform/com/com.h"

namespace popctl {

VARIANT I4(int32_t v);
std::u16string FromUtf8(const char* text);
// Texts the control takes byte for byte from the server. The system's code page is UTF-8.
inline std::u16string FromAnsi(const char* text) { return FromUtf8(text); }
BSTR ToBstr(const std::u16string& text);

// Error := the low 16 bits of code (I4), in the type the caller passed.
void SetErrorArgument(VARIANT* error, uint32_t code);
void SetLongArgument(VARIANT* arg, int32_t value);
void SetBoolArgument(VARIANT* arg, bool value);
// A text result: a reference to a string gets its string replaced, a reference to another
// type is DISP_E_TYPEMISMATCH, a value becomes a string. A missing argument takes nothing.
HRESULT SetTextArgument(VARIANT* arg, const std::u16string& text);

// An optional argument as a number or text; missing takes def.
HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out);
HRESULT OptionalText(const VARIANT& arg, const std::u16string& def, std::u16string* out);

// Reads into a host's Buffer: works out how many bytes the buffer asks for, calls read with
// a zeroed block of that size (the count, 0 at the end, or -1) and stores what it gave.
// *count receives read's result. Argument errors come back as HRESULTs before any read.
using ByteReader = std::function<int32_t(char* data, int32_t size)>;
HRESULT ReadIntoBuffer(VARIANT* buffer, const VARIANT& length, const ByteReader& read, int32_t* count);

// The bytes a host's Buffer holds for Write, at most Length when one is given.
HRESULT BytesOfBuffer(const VARIANT& buffer, const VARIANT& length, std::string* bytes);

}  // namespace popctl
