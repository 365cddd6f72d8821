#pragma once
// Subclassing: a window's procedure is a chain of layers, the class procedure at the
// bottom. Layers can be removed in any order (two libraries may subclass one window
// and let go of it in either order) and the rest of the chain keeps working.
#include "platform/msg/msg_types.h"

namespace plat {

// Subclass form (owner thread). Installing the same (proc, id) again only updates the
// reference data. The procedure passes messages on with DefSubclassProc.
BOOL SetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass, DWORD_PTR refData);
BOOL RemoveWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass);
BOOL GetWindowSubclass(HWND hwnd, SUBCLASSPROC proc, UINT_PTR idSubclass, DWORD_PTR* refData);
// Passes the message to the layer below the subclass procedure now running for hwnd.
LRESULT DefSubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Set-window-procedure form, on the same chain: SetWindowLongPtr(hwnd, GWLP_WNDPROC, p)
// adds a layer running p and returns a value standing for "the chain below it"; the
// procedure passes messages on with CallWindowProc(thatValue, ...). Setting that value
// back removes exactly the layer that received it, wherever it now sits in the chain.
// The returned values are not callable themselves: use CallWindowProc.
LRESULT CallWindowProc(WNDPROC prev, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace plat
