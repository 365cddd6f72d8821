#pragma once
// Windows of the platform layer. A window belongs to the thread that created it: its
// procedure chain runs only there. Handles are numbers that are not reused while the
// process runs. Every window a thread still owns is destroyed when the thread ends.
#include "platform/msg/msg_types.h"

namespace plat {

// Window classes: a procedure plus per-window extra bytes. Names are matched
// case-insensitively; the same name may be registered once per instance value.
ATOM RegisterClass(const WNDCLASS* wc);
BOOL UnregisterClass(const char* className, void* hInstance);

// parent: null or the desktop for a top-level window, HWND_MESSAGE for a message-only
// window, else a live window. Sends WM_NCCREATE and WM_CREATE (lParam: CREATESTRUCT*);
// WM_NCCREATE answering 0 or WM_CREATE answering -1 refuses the window (null result).
HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int32_t x,
                    int32_t y, int32_t width, int32_t height, HWND parent, void* menu, void* hInstance,
                    void* param);
// Owner thread only. Sends WM_DESTROY, destroys the thread's child windows, sends
// WM_NCDESTROY, then the handle is dead: sends answer 0 and posts fail.
BOOL DestroyWindow(HWND hwnd);
// True for live windows (also while WM_DESTROY/WM_NCDESTROY run) and the desktop.
BOOL IsWindow(HWND hwnd);

// The desktop pseudo-window: parent of every top-level window. It has no owner thread
// and no procedure.
HWND GetDesktopWindow();
// Parent of a child window; null for top-level and message-only windows.
HWND GetParent(HWND hwnd);
// Moves hwnd below newParent (null or desktop: top level; HWND_MESSAGE: message-only).
// Returns the previous parent (the desktop for a top-level window), null on failure.
HWND SetParent(HWND hwnd, HWND newParent);
// Calls proc for each child (recursively), or each top-level window for null/desktop,
// until it answers FALSE.
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM lParam);

// Id of the owning thread (0 for an invalid handle); *processId receives the process id.
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);

// GWLP_USERDATA, GWLP_ID, GWL_STYLE, GWL_EXSTYLE, GWLP_WNDPROC or an offset into the
// class's extra bytes. Setting GWLP_WNDPROC is the owner's and behaves as described in
// subclass.h.
LONG_PTR GetWindowLongPtr(HWND hwnd, int32_t index);
LONG_PTR SetWindowLongPtr(HWND hwnd, int32_t index, LONG_PTR value);

// Visibility and activation (owner thread). A thread has an active window when it
// owns a visible top-level window that it activated, with SW_SHOW/SW_SHOWNORMAL or
// SetActiveWindow. Returns whether the window was visible before.
BOOL ShowWindow(HWND hwnd, int32_t command);
BOOL IsWindowVisible(HWND hwnd);
// Activates a top-level window of the calling thread (null deactivates); returns the
// previously active window.
HWND SetActiveWindow(HWND hwnd);
// The calling thread's active window, or null.
HWND GetActiveWindow();
// True when the calling thread owns a visible, active top-level window: library waits
// dispatch posted messages only then.
bool ThreadHasActiveWindow();

// The default procedure: WM_NCCREATE answers TRUE, WM_CLOSE destroys the window,
// everything else answers 0.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace plat
