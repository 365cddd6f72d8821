#pragma once
// Types and numbers of the window-message layer. Message, style and error numbers keep
// their documented values so that code written against them reads as expected.
#include <cstdint>

#include "platform/types.h"

namespace plat {

using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using ATOM = uint16_t;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);
// A subclass layer: receives its own id and reference data, passes messages on with
// DefSubclassProc.
using SUBCLASSPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM, UINT_PTR idSubclass, DWORD_PTR refData);
using WNDENUMPROC = BOOL (*)(HWND, LPARAM);

struct POINT {
  LONG x = 0;
  LONG y = 0;
};

struct MSG {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  DWORD time = 0;
  POINT pt;
};

struct WNDCLASS {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int32_t cbClsExtra = 0;
  int32_t cbWndExtra = 0;  // bytes of per-window data, read with GetWindowLongPtr(offset)
  void* hInstance = nullptr;
  const char* lpszClassName = nullptr;  // UTF-8, compared case-insensitively
};

// lParam of WM_NCCREATE and WM_CREATE.
struct CREATESTRUCT {
  void* lpCreateParams;
  void* hInstance;
  void* hMenu;
  HWND hwndParent;
  int32_t cy, cx, y, x;
  LONG style;
  const char* lpszName;
  const char* lpszClass;
  DWORD dwExStyle;
};

// Messages.
inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_NCCREATE = 0x0081;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;
// RegisterWindowMessage hands out numbers from this range.
inline constexpr UINT kFirstRegisteredMessage = 0xC000;
inline constexpr UINT kLastRegisteredMessage = 0xFFFF;

// PeekMessage options.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
inline constexpr UINT PM_NOYIELD = 0x0002;

// SendMessageTimeout options (messages sent to the waiting thread are always served).
inline constexpr UINT SMTO_NORMAL = 0x0000;

// ShowWindow commands.
inline constexpr int32_t SW_HIDE = 0;
inline constexpr int32_t SW_SHOWNORMAL = 1;
inline constexpr int32_t SW_SHOWNOACTIVATE = 4;
inline constexpr int32_t SW_SHOW = 5;
inline constexpr int32_t SW_SHOWNA = 8;

// Styles.
inline constexpr uint32_t WS_OVERLAPPED = 0x00000000;
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
inline constexpr uint32_t WS_CHILD = 0x40000000;
inline constexpr uint32_t WS_POPUP = 0x80000000;

// Window data indices of Get/SetWindowLongPtr (non-negative values are byte offsets
// into the class's per-window extra data).
inline constexpr int32_t GWLP_WNDPROC = -4;
inline constexpr int32_t GWLP_ID = -12;
inline constexpr int32_t GWL_STYLE = -16;
inline constexpr int32_t GWL_EXSTYLE = -20;
inline constexpr int32_t GWLP_USERDATA = -21;

// Parent of message-only windows.
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(intptr_t(-3));
// GetMessage/PeekMessage filter selecting thread messages only (no window).
inline HWND const HWND_THREAD_MESSAGES = reinterpret_cast<HWND>(intptr_t(-1));

// Error numbers of this layer (read with plat::GetLastError).
inline constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr uint32_t ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr uint32_t ERROR_WINDOW_OF_OTHER_THREAD = 1408;
inline constexpr uint32_t ERROR_CLASS_ALREADY_EXISTS = 1410;
inline constexpr uint32_t ERROR_CLASS_DOES_NOT_EXIST = 1411;
inline constexpr uint32_t ERROR_CLASS_HAS_WINDOWS = 1412;
inline constexpr uint32_t ERROR_INVALID_INDEX = 1413;
inline constexpr uint32_t ERROR_INVALID_THREAD_ID = 1444;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;

}  // namespace plat
