#pragma once
// Byte streams that cannot take part in socket event selection (the standard input and
// output of a local proxy command): each end gets a worker thread that does the blocking
// read or write and signals its to-main event, which the event pump waits on beside the
// network; the SSH thread then calls the owner. The worker touches its buffer, counts and
// error only between a from-main and a to-main signal; the SSH thread only in between.
#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ssh/net/ssh_net.h"

struct SshSettings;
struct HandleConnection;

// Input: data arrived (length > 0) or the stream ended (data null, length = -error, 0 for
// a clean end). Returns the backlog the owner now holds; at 32,768 or more the reader
// waits for HandleUnthrottle.
using HandleDataCallback = int32_t (*)(HandleConnection* connection, const void* data, int32_t length);
// Output: a block was written (pending = bytes still queued) or the write failed
// (pending = -error).
using HandleSentCallback = void (*)(HandleConnection* connection, int32_t pending);

inline constexpr uint32_t kHandleIgnoreEof = 2;
inline constexpr uint32_t kHandleOneByte = 4;
inline constexpr uint32_t kHandleUnthrottleLimit = 32768;

// The connections take the descriptor over (closed when the connection is destroyed).
HandleConnection* HandleNewInput(int fd, HandleDataCallback callback, void* privateData, uint32_t flags);
HandleConnection* HandleNewOutput(int fd, HandleSentCallback callback, void* privateData, uint32_t flags);
// Queues data and starts a write when the writer is idle; the bytes still pending.
uint32_t HandleWrite(HandleConnection* connection, const void* data, uint32_t length);
void HandleUnthrottle(HandleConnection* connection, uint32_t backlog);
// Appends the to-main events of the busy connections the pump of `session` serves on
// this thread.
void HandleCollectEvents(const void* session, std::vector<pollfd>& out);
// Dispatches a signalled to-main event of a connection that pump serves; others are
// ignored.
void HandleEvent(const void* session, int eventFd);
// Stops the worker (waking it from any wait) and releases the connection once the
// worker has ended; safe from inside the connection's own callback.
void HandleFree(HandleConnection* connection);
void* HandlePrivateData(HandleConnection* connection);

// A connection through the local command of ProxyType 5, or null for other types.
// Takes the address over. Check Error() of the result.
SshSocket* LocalProxyNewConnection(SshAddress* address, int32_t port, SshPlug* plug, const SshSettings* settings);
