#pragma once
// The connections behind X11 and forwarded-port channels, as the connection layer calls
// them. Sending returns the connection's backlog; opening returns null or an error text.
#include <cstdint>

#include "ssh/net/ssh_net.h"
#include "ssh/proto/settings.h"

struct SshChannel;

// ---- forwarded ports ----
// A local listener for a local ("L", destination given) or dynamic (no destination)
// forwarding; null when it cannot listen.
SshSocket* PortForwardListen(const char* destinationHost, int32_t destinationPort, const char* sourceAddress,
                             int32_t sourcePort, const SshSettings* settings, int32_t family);
const char* PortForwardConnect(SshSocket** out, const char* host, int32_t port, SshChannel* channel,
                               const SshSettings* settings, int32_t family);
uint32_t PortForwardSend(SshSocket* socket, const uint8_t* data, uint32_t length);
void PortForwardClose(SshSocket* socket);
void PortForwardConfirm(SshSocket* socket);
void PortForwardUnthrottle(SshSocket* socket);
void PortForwardOverrideThrottle(SshSocket* socket, int32_t on);

// ---- X11 ----
const char* X11Open(SshSocket** out, const char* display, const void* authorisation, const char* peerAddress,
                    int32_t peerPort, SshChannel* channel, const SshSettings* settings);
uint32_t X11Send(SshSocket* socket, const uint8_t* data, uint32_t length);
void X11Close(SshSocket* socket);
void X11Unthrottle(SshSocket* socket);
void X11OverrideThrottle(SshSocket* socket, int32_t on);
