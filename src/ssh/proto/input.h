#pragma once
// The session's connection: connect, the socket callbacks, the input pump that parses
// the server's identification line and then cuts packets for the protocol handler,
// protocol version choice, server bug flags, throttling, disconnect and closing.
#include <cstdint>

#include "ssh/proto/session.h"

// Opens the connection (port below 0 means 22). 0 or the socket layer's error code.
uint32_t SshConnect(SshSession* session, const char* hostName, int32_t port, char** canonicalName,
                    int32_t keepAlive);
// The socket callbacks (SshSession implements SshPlug through them).
int32_t SshOnReceive(SshSession* session, int32_t urgent, const uint8_t* bytes, int32_t count);
int32_t SshOnClosing(SshSession* session, uint32_t error);
void SshOnSent(SshSession* session, uint32_t backlog);

// Sends DISCONNECT with the reason when a text is given, then closes.
void SshDisconnect(SshSession* session, const char* wireText, uint32_t reason, int32_t clean);
// State 4, timers cancelled, socket closed, channels and forwardings removed. Whether a
// socket was open.
int32_t SshCloseAll(SshSession* session);
void SshThrottleAll(SshSession* session, int32_t on, uint32_t backlog);
void SshThrottleCount(SshSession* session, int32_t delta);

// -1, 0, 1 for two "major.minor" version texts.
int32_t SshVersionCompare(const char* a, const char* b);
// The server bug flags for a server identification line and the session's switches;
// sets switch 9 to 0 for the server software that needs it.
uint32_t SshComputeBugFlags(const char* serverLine, SshSettings* settings);
// The software version of an identification line: the text after its second "-".
const char* SshSoftwareVersion(const char* serverLine);
// Feeds one byte to the identification parser; true when the exchange is over.
bool SshIdentParseByte(SshSession* session, uint8_t byte);

// The SSH-1 protocol handler and its dispatch set-up, installed when SSH-1 is chosen.
void Ssh1Protocol(SshSession* session, const uint8_t* text, int32_t length, SshPacket* packet);
void Ssh1DispatchInit(SshSession* session);
