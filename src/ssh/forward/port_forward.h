#pragma once
// The local end of SSH port forwarding: listeners for local and dynamic forwardings
// (a dynamic one is a small SOCKS 4, 4A and 5 server that names each connection's
// destination), the connections they accept, and the outgoing connections of channels
// the server opens for remote forwardings.
#include <cstdint>

#include "ssh/net/ssh_net.h"

struct SshSettings;
struct SshChannel;

// A listener (local-only unless LocalPortsAcceptAll); a null destination host makes it
// dynamic. 0 and the socket, or the listener's error.
uint32_t PortForwardListen(const char* destinationHost, int32_t destinationPort, const char* sourceAddress,
                           int32_t sourcePort, SshSession* session, const SshSettings* settings, SshSocket** out,
                           int32_t family);
// Connects a channel the server opened; null, or the reason it failed.
const char* PortForwardConnect(SshSocket** out, const char* host, int32_t port, SshChannel* channel,
                               const SshSettings* settings, int32_t family);
// Channel data to the connection; the bytes it buffers.
uint32_t PortForwardSend(SshSocket* socket, const uint8_t* data, uint32_t length);
// The channel is open: data flows, and bytes that followed a SOCKS request go out.
void PortForwardConfirm(SshSocket* socket);
void PortForwardUnthrottle(SshSocket* socket);
void PortForwardOverrideThrottle(SshSocket* socket, int32_t on);
// Frees the record (with its held data) and closes the socket.
void PortForwardClose(SshSocket* socket);
inline void PortForwardTerminate(SshSocket* socket) { PortForwardClose(socket); }
