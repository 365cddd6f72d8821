// Handle connections: one worker thread per stream end and the hand-off between it and
// the SSH thread through two auto-reset events.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/base/sync.h"
#include "platform/base/thread.h"
#include "platform/net/wsa_errors.h"
#include "ssh/handle/handle.h"
#include "ssh/net/owner.h"
#include "ssh/util/buffer_chain.h"
#include "ssh/util/tree234.h"

struct HandleConnection {
  uint32_t direction = 0;  // 0 input (reader), 1 output (writer)
  int fd = -1;
  plat::Event toMain{plat::Event::Reset::Auto};
  plat::Event fromMain{plat::Event::Reset::Auto};
  plat::Event stop{plat::Event::Reset::Manual};  // the worker is to end now
  std::atomic<uint32_t> done{0};
  uint32_t defunct = 0;
  uint32_t busy = 0;  // the worker owns the buffer
  uint32_t flags = 0;
  void* privateData = nullptr;
  std::shared_ptr<plat::Thread> thread;
  int32_t dispatching = 0;
  bool freed = false;
  // input
  uint8_t buffer[4096];
  int32_t count = 0;
  uint32_t readError = 0;
  HandleDataCallback data = nullptr;
  // output
  const uint8_t* block = nullptr;
  uint32_t blockLength = 0;
  uint32_t written = 0;
  uint32_t writeError = 0;
  BufferChain output{};
  HandleSentCallback sent = nullptr;
  cvssh::net::NetOwner owner = cvssh::net::CurrentOwner();  // whose pump serves it
};

namespace {

// Connections of every session; each pump picks its own. Guarded for the threads that
// file and drop connections at once.
std::mutex g_handlesMutex;
CountedTree* g_handles = nullptr;

int CompareHandles(void* a, void* b) {
  int x = static_cast<HandleConnection*>(a)->toMain.fd(), y = static_cast<HandleConnection*>(b)->toMain.fd();
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareEvent(void* key, void* element) {
  int x = *static_cast<int*>(key), y = static_cast<HandleConnection*>(element)->toMain.fd();
  return x < y ? -1 : x > y ? 1 : 0;
}

// Waits until fd is ready for `events` or the worker is stopped; false when stopped.
bool WaitReady(HandleConnection* h, int fd, short events) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {h->stop.fd(), POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (fds[1].revents) return false;
    if (r > 0) return true;
    if (r < 0) return true;  // let the read or write report the failure
  }
}

// Signals the SSH thread; the fence publishes the step's results before the signal.
void ToMain(HandleConnection* h) {
  std::atomic_thread_fence(std::memory_order_release);
  h->toMain.Set();
}

// Waits for the SSH thread's go-ahead; false when the worker is to end.
bool FromMain(HandleConnection* h) {
  if (!WaitReady(h, h->fromMain.fd(), POLLIN)) return false;
  h->fromMain.Wait(0);
  std::atomic_thread_fence(std::memory_order_acquire);
  return !h->done.load();
}

uint32_t Reader(HandleConnection* h) {
  for (;;) {
    if (!WaitReady(h, h->fd, POLLIN)) return 0;
    ssize_t n = read(h->fd, h->buffer, (h->flags & kHandleOneByte) ? 1 : sizeof h->buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // A broken pipe or a reset at the other end counts as a clean end.
    int e = n < 0 ? errno : 0;
    h->count = n > 0 ? int32_t(n) : 0;
    h->readError = (e == EPIPE || e == ECONNRESET) ? 0 : plat::WsaErrorFromErrno(e);
    if (h->count == 0 && h->readError == 0 && (h->flags & kHandleIgnoreEof)) continue;
    ToMain(h);
    if (h->count == 0) return 0;
    if (!FromMain(h)) return 0;
  }
}

uint32_t Writer(HandleConnection* h) {
  for (;;) {
    if (!FromMain(h)) return 0;
    uint32_t total = 0;
    int e = 0;
    while (total < h->blockLength) {
      if (!WaitReady(h, h->fd, POLLOUT)) return 0;
      // Never a signal for a peer that has gone: the error comes back instead.
      ssize_t n = send(h->fd, h->block + total, h->blockLength - total, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = write(h->fd, h->block + total, h->blockLength - total);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        e = n < 0 ? errno : EPIPE;
        break;
      }
      total += uint32_t(n);
    }
    h->written = total;
    h->writeError = plat::WsaErrorFromErrno(e);
    ToMain(h);
    if (e) return 0;
  }
}

HandleConnection* NewConnection(int fd, uint32_t direction, void* privateData, uint32_t flags) {
  auto* h = new HandleConnection();
  h->direction = direction;
  h->fd = fd;
  h->flags = flags;
  h->privateData = privateData;
  BufferChainInit(&h->output);
  std::lock_guard l(g_handlesMutex);
  if (!g_handles) g_handles = TreeNew(CompareHandles);
  TreeAdd(g_handles, h);
  return h;
}

bool StartThread(HandleConnection* h) {
  h->thread = plat::Thread::Create([h] { return h->direction == 0 ? Reader(h) : Writer(h); });
  if (!h->thread) h->defunct = 1;
  return h->thread != nullptr;
}

void Destroy(HandleConnection* h) {
  {
    std::lock_guard l(g_handlesMutex);
    if (g_handles) {
      TreeDelete(g_handles, h);
      if (TreeCount(g_handles) == 0) {
        TreeFree(g_handles);
        g_handles = nullptr;
      }
    }
  }
  BufferChainClear(&h->output);
  if (h->fd >= 0) close(h->fd);
  delete h;
}

void StartWrite(HandleConnection* h) {
  if (h->busy || h->defunct || !BufferChainSize(&h->output)) return;
  const void* data;
  uint32_t length;
  BufferChainPrefix(&h->output, &data, &length);
  h->block = static_cast<const uint8_t*>(data);
  h->blockLength = length;
  h->busy = 1;
  std::atomic_thread_fence(std::memory_order_release);
  h->fromMain.Set();
}

}  // namespace

HandleConnection* HandleNewInput(int fd, HandleDataCallback callback, void* privateData, uint32_t flags) {
  HandleConnection* h = NewConnection(fd, 0, privateData, flags);
  h->data = callback;
  h->busy = 1;  // the reader starts reading at once
  if (!StartThread(h)) h->busy = 0;
  return h;
}

HandleConnection* HandleNewOutput(int fd, HandleSentCallback callback, void* privateData, uint32_t flags) {
  HandleConnection* h = NewConnection(fd, 1, privateData, flags);
  h->sent = callback;
  StartThread(h);
  return h;
}

uint32_t HandleWrite(HandleConnection* h, const void* data, uint32_t length) {
  BufferChainAdd(&h->output, data, length);
  StartWrite(h);
  return BufferChainSize(&h->output);
}

void HandleUnthrottle(HandleConnection* h, uint32_t backlog) {
  if (h->busy || h->defunct || h->freed || backlog >= kHandleUnthrottleLimit) return;
  h->busy = 1;
  h->fromMain.Set();
}

void HandleCollectEvents(const void* session, std::vector<pollfd>& out) {
  std::lock_guard l(g_handlesMutex);
  if (!g_handles) return;
  for (int32_t i = 0; auto* h = static_cast<HandleConnection*>(TreeIndex(g_handles, i)); ++i)
    if (h->busy && !h->freed && h->owner.ServedBy(session)) out.push_back({h->toMain.fd(), POLLIN, 0});
}

void HandleEvent(const void* session, int eventFd) {
  HandleConnection* h;
  {
    std::lock_guard l(g_handlesMutex);
    if (!g_handles) return;
    h = static_cast<HandleConnection*>(TreeFind(g_handles, &eventFd, CompareEvent));
  }
  // Only the owner's pump hands its events on.
  if (!h || h->freed || !h->owner.ServedBy(session) || !h->toMain.Wait(0)) return;
  std::atomic_thread_fence(std::memory_order_acquire);
  h->busy = 0;
  ++h->dispatching;
  if (h->direction == 0) {
    if (h->count > 0) {
      int32_t backlog = h->data(h, h->buffer, h->count);
      if (!h->freed) HandleUnthrottle(h, uint32_t(backlog < 0 ? 0 : backlog));
    } else {
      h->defunct = 1;
      h->data(h, nullptr, -int32_t(h->readError));
    }
  } else if (h->writeError == 0) {
    BufferChainConsume(&h->output, h->written);
    h->sent(h, int32_t(BufferChainSize(&h->output)));
    if (!h->freed) StartWrite(h);
  } else {
    h->defunct = 1;
    h->sent(h, -int32_t(h->writeError));
  }
  if (--h->dispatching == 0 && h->freed) Destroy(h);
}

void HandleFree(HandleConnection* h) {
  if (!h || h->freed) return;
  h->freed = true;
  h->done.store(1);
  if (h->thread) {
    // The worker waits on its stop token beside every read, write and hand-off, so it
    // ends promptly; its buffer is released only after it has.
    h->stop.Set();
    h->thread->Join();
  }
  if (h->dispatching == 0) Destroy(h);
}

void* HandlePrivateData(HandleConnection* h) { return h->privateData; }
