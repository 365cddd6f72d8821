// Suspending and resuming a server, closing all its clients, its limits, and the
// connection it is accepting.
#include <algorithm>

#include "platform/base/tick.h"
#include "platform/msg/wait.h"
#include "sockets/server/server_internal.h"
#include "tcpsrv/extras/server_extras.h"

using namespace cvsock;

namespace {

constexpr uint32_t kSuspendWaitMs = 15000;
constexpr uint32_t kCloseCheckMs = 250;
constexpr uint32_t kMaxAcceptDelay = 60000;

}  // namespace

int32_t ServerSuspend(SOCKET server, uint32_t options) {
  ServerPtr s = NeedListener(server);
  if (!s) return 0;
  if (s->status.load() != twServerListening) return Fail(cvErrorServerSuspended, 0);
  if (options & twSuspendReject) s->flags.fetch_or(kServerFlagRejectSuspended);
  ServerSendControl(s.get(), kServerCodeSuspend);
  if (options & twSuspendDisconnect) ServerCloseClients(server, (options & twSuspendWait) ? kSuspendWaitMs : 0);
  return 1;
}

int32_t ServerResume(SOCKET server) {
  ServerPtr s = NeedListener(server);
  if (!s) return 0;
  if (s->status.load() == twServerListening) return 1;
  ServerSendControl(s.get(), kServerCodeResume);
  return 1;
}

int32_t ServerCloseClients(SOCKET server, uint32_t timeoutMs) {
  ServerPtr s = FindServer(server);
  if (!s) return Fail(cvErrorInvalidHandle, 0);
  const bool hadClients = !ClientsOf(*s).empty();
  ServerFlagClientsClose(s.get());
  if (!hadClients || timeoutMs == 0) return 1;
  const uint32_t start = plat::GetTickCount();
  while (ServerGetClientCount(server) > 0) {
    if (timeoutMs != 0xFFFFFFFFu && plat::GetTickCount() - start >= timeoutMs) break;
    // Serves messages sent to this thread meanwhile: a leaving client may be reporting
    // its disconnect to a window of this thread.
    plat::WaitForEventsOrMessages(nullptr, 0, kCloseCheckMs);
  }
  return 1;
}

int32_t ServerSetLimits(SOCKET server, int32_t maxClients, int32_t maxPerAddress, int32_t acceptDelay) {
  ServerPtr s = NeedListener(server);
  if (!s) return 0;
  if (maxClients != -1) s->maxClients.store(uint32_t(maxClients));
  if (maxPerAddress != -1) s->maxClientsPerAddress.store(uint32_t(maxPerAddress));
  if (acceptDelay != -1) s->acceptDelay.store(std::min<uint32_t>(uint32_t(acceptDelay), kMaxAcceptDelay));
  ServerSendControl(s.get(), kServerCodeLimits);
  return 1;
}

SOCKET ServerGetAcceptingSocket(SOCKET server) {
  ServerPtr s = FindServer(server);
  if (!s) return FailHandle(cvErrorInvalidHandle);
  const SOCKET h = SOCKET(s->acceptingHandle.load());
  if (h == INVALID_SOCKET) return FailHandle(cvErrorInvalidHandle);
  return h;
}
