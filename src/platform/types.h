#pragma once
// Windows-style fixed-width types used at the libraries' and controls' interfaces.
// 32-bit quantities are int32_t/uint32_t (never long, which is 64-bit on Linux).
#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using INT = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using BOOL = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using WCHAR = char16_t;
using HRESULT = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using SOCKET = uintptr_t;
using LPVOID = void*;
using LPCVOID = const void*;

inline constexpr BOOL TRUE_ = 1;
inline constexpr BOOL FALSE_ = 0;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
inline constexpr int SOCKET_ERROR = -1;

// Calendar time broken into fields (UTC or local, as the producing call says).
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// 100-nanosecond intervals since 1601-01-01 00:00 UTC, split in two 32-bit halves.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// OLE Automation date: days since 1899-12-30 00:00, the fraction being the time of day.
using DATE = double;

// Window handle: an opaque, not-soon-reused number (never a pointer).
struct HWND__;
using HWND = HWND__*;

constexpr WORD LOWORD(uint32_t v) { return WORD(v & 0xFFFF); }
constexpr WORD HIWORD(uint32_t v) { return WORD((v >> 16) & 0xFFFF); }
constexpr uint32_t MAKELONG(WORD lo, WORD hi) { return uint32_t(lo) | (uint32_t(hi) << 16); }

// HRESULT values the suite uses; the numbers are the documented ones so host code recognises them.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = HRESULT(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = HRESULT(0x80004002);
inline constexpr HRESULT E_POINTER = HRESULT(0x80004003);
inline constexpr HRESULT E_ABORT = HRESULT(0x80004004);
inline constexpr HRESULT E_FAIL = HRESULT(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = HRESULT(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = HRESULT(0x80070005);
inline constexpr HRESULT E_HANDLE = HRESULT(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = HRESULT(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = HRESULT(0x80070057);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
