// Stand-ins for the X11 and forwarded-port connections, which this build does not carry
// (the FTP library never enables forwarding): every open and listen is refused, so no
// channel ever holds such a connection.
#include "ssh/proto/forward_hooks.h"

SshSocket* PortForwardListen(const char*, int32_t, const char*, int32_t, const SshSettings*, int32_t) {
  return nullptr;
}
const char* PortForwardConnect(SshSocket** out, const char*, int32_t, SshChannel*, const SshSettings*, int32_t) {
  *out = nullptr;
  return "Port forwarding is not available";
}
uint32_t PortForwardSend(SshSocket*, const uint8_t*, uint32_t) { return 0; }
void PortForwardClose(SshSocket* socket) {
  if (socket) socket->Close();
}
void PortForwardConfirm(SshSocket*) {}
void PortForwardUnthrottle(SshSocket*) {}
void PortForwardOverrideThrottle(SshSocket* socket, int32_t on) {
  if (socket) socket->SetFrozen(on);
}

const char* X11Open(SshSocket** out, const char*, const void*, const char*, int32_t, SshChannel*,
                    const SshSettings*) {
  *out = nullptr;
  return "Unable to open an X11 connection";
}
uint32_t X11Send(SshSocket*, const uint8_t*, uint32_t) { return 0; }
void X11Close(SshSocket* socket) {
  if (socket) socket->Close();
}
void X11Unthrottle(SshSocket*) {}
void X11OverrideThrottle(SshSocket* socket, int32_t on) {
  if (socket) socket->SetFrozen(on);
}
