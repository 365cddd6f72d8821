#pragma once
// Inside the server engine: shared records, the wait times of a priority, notifications
// and the two thread bodies.
#include <memory>
#include <vector>

#include "sockets/inet_internal.h"
#include "sockets/server/server.h"

namespace cvsock {

using ServerPtr = std::shared_ptr<ServerRecord>;
using ClientPtr = std::shared_ptr<ServerClientRecord>;

// Table look-ups (library lock inside); none without setting an error.
ServerPtr FindServer(SOCKET handle) noexcept;
ServerPtr FindServerById(uint32_t id) noexcept;
ClientPtr FindClient(SOCKET client, ServerPtr* server = nullptr) noexcept;
// Gives a client in its server's list its handle, by which FindClient finds it from now on
// until it is freed; false without memory.
bool SetClientHandle(const ClientPtr& c, SOCKET handle) noexcept;
// The server of a handle whose listener thread runs; null with the error set otherwise.
ServerPtr NeedListener(SOCKET server);
// The clients of a server in accept order (library lock inside).
std::vector<ClientPtr> ClientsOf(const ServerRecord& s);

struct WaitTimes {
  uint32_t selectMs;
  uint32_t pauseMs;    // after every pass
  bool pauseEvery52;   // 10 ms on every 52nd pass instead
};
WaitTimes WaitTimesFor(uint32_t priority) noexcept;
// Pauses as the priority says after pass number `pass`.
void PausePass(const WaitTimes& w, uint32_t pass) noexcept;
void SetThreadPriorityOf(uint32_t threadId, uint32_t priority) noexcept;

// Runs the server's callback (or marshals it through the callback window).
void NotifyOwner(ServerRecord& s, uint32_t event, uint32_t error);
void NotifyClient(ServerRecord& s, ServerClientRecord& c, uint32_t event, uint32_t error);

uint32_t ListenerMain(ServerPtr s);
uint32_t ClientMain(ClientPtr c);
// Takes a pending control code: true when one was handled (acknowledged).
template <typename Record, typename Act>
bool TakeControl(Record& r, Act&& act) {
  if (!r.controlEvent.IsSet()) return false;
  act(r.controlCode.load());
  r.controlEvent.Reset();
  r.acknowledgeEvent.Set();
  plat::Sleep(10);
  return true;
}

}  // namespace cvsock
