#pragma once
// Shared state of the message layer: per-thread queues and the process-wide window
// table. Not part of the public interface.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/sync.h"
#include "platform/msg/msg_types.h"

namespace plat::msgimpl {

using Clock = std::chrono::steady_clock;

class ThreadQueue;
struct Window;

// A message sent to another thread's window; lives until both sides let go of it.
struct SentMessage {
  enum State : int { Queued, Started, Done };
  std::shared_ptr<Window> target;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::atomic<int> state{Queued};  // Queued -> Started under the receiver's queue lock
  LRESULT result = 0;              // written before state becomes Done
  std::shared_ptr<ThreadQueue> sender;
  bool failed = false;  // the receiving thread ended before running it
};

struct PostedMessage {
  MSG msg;
  std::weak_ptr<Window> target;  // empty for thread messages
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  std::chrono::milliseconds interval;
  Clock::time_point due;
  TIMERPROC proc;
};

// A procedure layer running on the owner thread (DefSubclassProc needs to know where in
// the chain its caller sits).
struct Frame {
  Window* window;
  uint64_t layerId;
};

// One per thread that uses messages. Senders and posters on other threads hold it
// through shared_ptr, so it outlives its thread until they are done.
class ThreadQueue {
 public:
  explicit ThreadQueue(uint32_t threadId) : tid(threadId) {}
  void Wake() noexcept { wake.Set(); }

  const uint32_t tid;
  Event wake{Event::Reset::Manual};

  std::mutex m;  // guards the fields below up to the owner-only section
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<PostedMessage> posted;
  size_t postedQuits = 0;  // WM_QUIT entries in posted
  bool quitFlag = false;   // PostQuitMessage
  int32_t quitCode = 0;
  bool closed = false;  // the thread ended: nothing more is accepted

  // The message this thread is blocked sending to another thread (guarded by m).
  std::shared_ptr<SentMessage> waitingFor;

  // Owner thread only.
  std::vector<Timer> timers;
  UINT_PTR nextTimerId = 1;
  HWND active = nullptr;
  // Kept here rather than in a thread_local of its own, which could be destroyed before
  // the thread's windows are.
  std::vector<Frame> frames;
};

// One layer of a window's procedure chain. Layers are ordered by id (a later layer has
// a larger id and sits above), so "the layer below X" stays well defined after any
// layer, X included, has been removed.
struct Layer {
  uint64_t id;
  WNDPROC proc;            // class procedure or set-window-procedure form
  SUBCLASSPROC subProc;    // subclass form (proc is null then)
  UINT_PTR subId;
  DWORD_PTR refData;
  uint64_t prevToken;      // set-window-procedure form: the value it replaced
};

struct WindowClass {
  std::string name;  // lower-case
  void* instance;
  WNDPROC proc;
  int32_t wndExtra;
  ATOM atom;
  size_t windows = 0;  // live windows of the class (under the table lock)
};

struct Window {
  enum State : int { Alive, Destroying, Dead };
  HWND handle = nullptr;
  std::shared_ptr<ThreadQueue> owner;
  std::shared_ptr<WindowClass> cls;
  std::atomic<int> state{Alive};
  std::atomic<bool> visible{false};
  std::atomic<LONG_PTR> userData{0};
  std::atomic<LONG_PTR> ctrlId{0};
  std::atomic<uint32_t> style{0};
  std::atomic<uint32_t> exStyle{0};
  std::atomic<uint64_t> topToken{0};  // GWLP_WNDPROC as other threads may read it

  // Under the table lock.
  HWND parent = nullptr;  // null: top level; HWND_MESSAGE: message-only
  std::vector<HWND> children;
  std::vector<unsigned char> extra;

  // Owner thread only.
  std::vector<Layer> layers;
};

// The process-wide tables.
struct Tables {
  std::mutex m;
  std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
  std::unordered_map<uint32_t, std::shared_ptr<ThreadQueue>> queues;
  std::vector<std::shared_ptr<WindowClass>> classes;
  std::unordered_map<std::string, UINT> registeredMessages;
  uintptr_t nextHandle = 0x10002;  // grows by 2: handles are not reused while the process runs
  ATOM nextAtom = 0xC000;
  UINT nextMessage = kFirstRegisteredMessage;
};
Tables& tables();

// Class and message names compare case-insensitively (ASCII).
inline std::string AsciiLower(const char* s) {
  std::string r(s);
  for (auto& c : r) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return r;
}

inline uintptr_t HandleValue(HWND h) { return reinterpret_cast<uintptr_t>(h); }
inline HWND HandleFrom(uintptr_t v) { return reinterpret_cast<HWND>(v); }
HWND DesktopHandle();

// A live (not yet finally destroyed) window, or null.
std::shared_ptr<Window> LookupWindow(HWND h);
// As LookupWindow, but also requires the calling thread to own it; sets the last error.
std::shared_ptr<Window> LookupOwnWindow(HWND h);
bool IsTopLevel(const Window& w);  // under the table lock

// Calling thread's queue: null when it has none yet (or after it ended).
ThreadQueue* CurrentQueue();
// Calling thread's queue, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueueShared();
uint32_t CurrentThreadId();

// Runs the messages sent to this thread's windows by other threads, a bounded batch of
// them; when more wait, the queue's wake-up stays set so the caller's wait returns at once.
inline constexpr size_t kSentPerBatch = 64;
void ServeSentMessages(ThreadQueue& q);
// True when the thread is blocked sending to a window of receiver and receiver is already
// running that message.
bool IsSendingTo(uint32_t senderThreadId, const ThreadQueue* receiver);
// Full procedure chain of the window (owner thread).
LRESULT CallWindowChain(const std::shared_ptr<Window>& w, UINT msg, WPARAM wp, LPARAM lp);
void InstallClassLayer(Window& w, WNDPROC proc);
// SetWindowLongPtr(GWLP_WNDPROC): adds a layer, or removes the one a returned value belongs to.
LONG_PTR SetProcedureLayer(Window& w, LONG_PTR value);
void ClearLayers(Window& w);

// Posted-message retrieval (owner thread). stopAtQuit: leave a WM_QUIT in place and say so.
enum class Fetch { None, Message, Quit };
struct Filter {
  HWND hwnd = nullptr;
  UINT first = 0;
  UINT last = 0;
};
Fetch FetchMessage(ThreadQueue& q, MSG* out, const Filter& f, bool remove, bool stopAtQuit);
// Milliseconds until the next timer the filter lets through is due (0 when due), -1
// without such timers.
int32_t NextTimerDelay(const ThreadQueue& q, const Filter& f);
void RemoveWindowTimers(ThreadQueue& q, HWND hwnd);
size_t RemovePosted(ThreadQueue& q, HWND hwnd, bool (*match)(const MSG&, void*), void* ctx);
bool IsQuitPending(ThreadQueue& q);

// Blocks on the queue's wake-up descriptor (and the extra ones) for at most timeoutMs
// (-1: no limit); then clears the wake-up. Returns poll()'s result.
int WaitOnQueue(ThreadQueue* q, pollfd* fds, size_t count, int32_t timeoutMs);

// Milliseconds left until deadline, rounded up, never negative.
int32_t MsUntil(Clock::time_point deadline);

}  // namespace plat::msgimpl
