#pragma once
// The SSH layer's sockets: non-blocking TCP connections and listeners that report their
// events to an owner (the plug), name lookup with a list of candidate addresses and
// connect fallback, buffered sending, and the one event pump every blocking wait of the
// layer calls. Everything runs on the thread that drives the session.
#include <cstdint>

#include "platform/types.h"

struct SshAddress;
struct SshSession;

// The owner side of a socket, five event handlers in a fixed order.
class SshPlug {
 public:
  // kind 0: a connect attempt to address:port is about to start.
  virtual void Log(int32_t kind, const SshAddress* address, int32_t port, const char* text, int32_t code) = 0;
  // The connection ended (error 0 for an orderly close). 0, or negative to end the pump.
  virtual int32_t Closing(uint32_t error, int32_t callingBack) = 0;
  // urgent: 0 normal data, 1 read while urgent data is pending in line, 2 out-of-band.
  // 0 tells the socket layer the owner has closed the connection meanwhile.
  virtual int32_t Receive(int32_t urgent, const uint8_t* data, int32_t length) = 0;
  virtual void Sent(uint32_t backlog) = 0;
  // A listener got a connection; non-zero refuses it (the socket is closed).
  virtual int32_t Accepting(SOCKET socket) = 0;

 protected:
  ~SshPlug() = default;
};

// Every connection object of the layer, nine operations in a fixed order.
class SshSocket {
 public:
  // Returns the old plug; a null plug only reads it.
  virtual SshPlug* SetPlug(SshPlug* plug) = 0;
  // Closes and frees the object (safe from inside its own plug handlers).
  virtual void Close() = 0;
  // Returns the bytes still buffered.
  virtual uint32_t Write(const void* data, uint32_t length) = 0;
  // Discards buffered output; returns the urgent bytes pending.
  virtual uint32_t WriteUrgent(const void* data, uint32_t length) = 0;
  virtual void Flush() = 0;
  virtual void SetPrivate(void* value) = 0;
  virtual void* GetPrivate() = 0;
  virtual void SetFrozen(int32_t frozen) = 0;
  // WinSock code of a failed creation or connect, 0 when healthy.
  virtual uint32_t Error() = 0;

 protected:
  ~SshSocket() = default;
};

// ---- addresses ----
// family: 0 any, 1 IPv4, 2 IPv6. The canonical name (when asked for) is a new text
// released with CheckedFree. Check the result's error.
SshAddress* SshLookupName(const char* host, char** canonicalName, int32_t family);
SshAddress* SshUnresolvedAddress(const char* host);
SshAddress* SshBadAddress();
int32_t SshNextAddress(SshAddress* address);
void SshAddressToText(const SshAddress* address, char* buffer, int32_t size);
int32_t SshIsLocalhostName(const char* name);
int32_t SshIsLocalAddress(const SshAddress* address);
// What SshAddressType reports.
enum SshAddressKind : int32_t { kSshAddressIpv4 = 1, kSshAddressIpv6 = 2, kSshAddressName = 3 };
int32_t SshAddressType(const SshAddress* address);
void SshAddressBytes(const SshAddress* address, uint8_t* buffer);
void SshFreeAddress(SshAddress* address);
uint32_t SshAddressError(const SshAddress* address);
uint16_t SshServicePort(const char* service);

// ---- sockets ----
// The connection takes the address over. Check Error() of the result.
SshSocket* SshNewConnection(SshAddress* address, int32_t port, int32_t keepAlive, SshPlug* plug);
SshSocket* SshNewListener(const char* sourceAddress, int32_t port, SshPlug* plug, int32_t localOnly,
                          int32_t family);
// Wraps an accepted socket (writable, frozen until thawed, registered).
SshSocket* SshRegisterSocket(SOCKET socket, SshPlug* plug);
int32_t SshEventSelect(SOCKET socket, int32_t enable);

// Walks the registered socket handles in handle order; INVALID_SOCKET at the end.
SOCKET SshFirstSocket(int32_t* cursor);
SOCKET SshNextSocket(int32_t* cursor);

// Handles one socket's event word ((error << 16) | FD_ bit); unknown handles are ignored.
int32_t SshSocketEvent(SOCKET socket, uint32_t eventWord);

// One bounded wait for the session's network events (the session's timeout) and their
// dispatch while the thread's messages flow. 0, or -1 when a socket handler failed.
int32_t SshPumpEvents(SshSession* session);
// The same with a wait of at most limitMs (0: only what is ready now), for callers with
// a deadline of their own.
int32_t SshPumpEventsWithin(SshSession* session, uint32_t limitMs);

// Closes every socket still registered and forgets the registry.
void SshNetShutdown();
