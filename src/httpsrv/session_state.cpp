#include "core/state/named_state.h"
#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {

namespace {

constexpr cvcore::StateName<SessionState> kNames[] = {
    {SessionState::ReceivingBody, "receiving a request body"},
    {SessionState::SendingBody, "sending a response body"},
    {SessionState::Idle, "idle"},
};

}  // namespace

HttpSession::HttpSession() {
  ClearHeaders(request);
  ClearHeaders(response);
}

SessionState SetState(HttpSession& s, SessionState next) noexcept {
  return cvcore::ChangeState(s.state, next, kNames, "HTTP server client", s.clientId);
}

}  // namespace cvhttpsrv
