#pragma once
// Message queues: one per thread, created on first use. Messages sent by other threads
// are served before posted ones, whenever the owner waits in this layer.
#include <cstddef>
#include <functional>

#include "platform/msg/msg_types.h"

namespace plat {

// Same thread: a direct, re-entrant call of the window's procedure chain. Another
// thread's window: blocks until its owner ran the procedure, serving the messages other
// threads send to the caller meanwhile (so two threads sending to each other never
// deadlock). Returns 0 for a dead window or one whose thread ended.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// As SendMessage, but when timeoutMs runs out before the owner started the message,
// the message is withdrawn and the call fails with ERROR_TIMEOUT; a started message is
// waited for (its data may live on the caller's stack). Nonzero on success.
LRESULT SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                           DWORD_PTR* result);

// From any thread; FIFO per queue; wakes the owner. A null hwnd posts to the calling
// thread. Fails for dead windows (ERROR_INVALID_WINDOW_HANDLE) and ended threads.
BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessage(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// Sets the calling thread's quit request: GetMessage answers WM_QUIT once the posted
// messages are gone.
void PostQuitMessage(int32_t exitCode);

// hwnd filter: null = all, HWND_THREAD_MESSAGES = thread messages only, else that
// window. first/last: message range, 0/0 = all. GetMessage blocks (serving sent
// messages) and returns 0 for WM_QUIT, -1 for a bad filter window, else 1.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT first, UINT last);
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT first, UINT last, UINT removeFlags);
// Blocks until a posted message, a quit request or a due timer is there.
BOOL WaitMessage();
// Runs the message's window procedure chain (or a timer's procedure). Only for windows
// of the calling thread.
LRESULT DispatchMessage(const MSG* msg);
// There is no keyboard input to translate: always FALSE.
BOOL TranslateMessage(const MSG* msg);

// A process-wide number in 0xC000..0xFFFF for a name (case-insensitive); 0 on failure.
UINT RegisterWindowMessage(const char* name);

// True when the thread is blocked sending a message to a window of the calling thread
// and the calling thread is running that message now (so it cannot wait for the thread).
bool IsThreadSendingToCaller(uint32_t threadId);

// Cheap check for the calling thread: a WM_QUIT posted or a quit request set.
bool IsQuitMessagePending();

// Removes posted messages addressed to hwnd (null: to any window of the process) for
// which match answers true; returns how many. Used to purge a closed socket's events.
size_t RemovePostedMessages(HWND hwnd, const std::function<bool(const MSG&)>& match);

}  // namespace plat
