#pragma once
// X11 forwarding: the made-up authorisation cookie offered to the server, and the local
// side of each X11 channel: a connection to the local display on which the client's
// connection setup is checked against the cookie and passed on without authorisation.
#include <cstdint>

#include "ssh/net/ssh_net.h"

struct SshSettings;
struct SshChannel;
struct CountedTree;

// Protocols: 1 "MIT-MAGIC-COOKIE-1", 2 "XDM-AUTHORIZATION-1" (0: none).
struct X11Auth {
  uint8_t data[64];
  uint32_t protocol;
  uint32_t length;         // 16
  uint32_t localProtocol;  // what the local display gets: 0, no authorisation
  uint32_t localLength;
  CountedTree* replays;  // XDM: records seen, ordered by time stamp then address and port
};

// The name of a protocol number ("" for 0 and unknown numbers).
const char* X11ProtocolName(uint32_t protocol);
// A new cookie: MIT for authType 1, XDM for any other; the protocol name (at most 19
// characters) and the cookie as lower-case hexadecimal are written out.
X11Auth* X11MakeAuth(char protocolName[20], char cookieText[64], uint32_t authType);
void X11InitLocalAuth(X11Auth* auth);
void X11FreeAuth(X11Auth* auth);
// Null when the client's authorisation is accepted, else the reason. peerAddress is the
// IPv4 address in host order; peerPort -1 when unknown.
const char* X11CheckAuth(uint32_t peerAddress, int32_t peerPort, X11Auth* auth, const char* protocolName,
                         const uint8_t* data, uint32_t length);
// Checks XDM time stamps against this clock (Unix seconds); null restores the real one.
void X11SetClock(int64_t (*now)());

int32_t X11ScreenNumber(const char* display);
// The display to use: the given one, else $DISPLAY, else ":0"; "localhost" goes in front
// of one starting with ":". A new text.
char* X11DisplayName(const char* display);

// Connects one X11 channel to the local display; null, or the reason it failed.
const char* X11Open(SshSocket** out, const char* display, X11Auth* auth, const char* peerAddress, int32_t peerPort,
                    SshChannel* channel, const SshSettings* settings);
// Channel data from the X client; the bytes the display connection has buffered.
uint32_t X11Send(SshSocket* socket, const uint8_t* data, uint32_t length);
void X11Close(SshSocket* socket);
void X11Unthrottle(SshSocket* socket);
void X11OverrideThrottle(SshSocket* socket, int32_t on);
