#pragma once
// The connection layer: the channel record and table shared by both protocol versions,
// channel output with SSH-2 flow control, the SSH-2 channel message handlers, the queue
// of handlers waiting for a global reply, port forwarding set-up and the session's send,
// window-change and special-command entries.
#include <cstdint>

#include "ssh/proto/session.h"
#include "ssh/util/byte_queue.h"

struct SshPacket;

enum SshChannelType : uint32_t {
  ChannelMain = 0,
  ChannelX11 = 1,
  ChannelAgent = 2,
  ChannelForward = 3,
  ChannelForwardPending = 4,
};

inline constexpr uint32_t kSshChannelWindow = 16384;
inline constexpr uint32_t kSshChannelMaxPacket = 16384;

// SSH-1 closing bits.
inline constexpr uint32_t kSsh1CloseSent = 1;
inline constexpr uint32_t kSsh1CloseConfirmSent = 2;
inline constexpr uint32_t kSsh1CloseReceived = 4;
inline constexpr uint32_t kSsh1CloseConfirmReceived = 8;

struct SshChannel {
  SshSession* session = nullptr;
  uint32_t remoteId = 0;
  uint32_t localId = 0;  // the channel table key
  uint32_t type = 0;
  uint32_t halfOpen = 0;    // an open sent by the client is unconfirmed: no CLOSE then
  uint32_t closing = 0;     // SSH-2: CLOSE sent; SSH-1: the kSsh1Close* bits
  ByteQueue output;         // SSH-2: data waiting for window, sent in as large pieces as allowed
  uint32_t throttling = 0;  // SSH-1: this channel asked the session to stop reading
  uint32_t remoteWindow = 0;
  uint32_t remoteMaxPacket = 0;
  uint32_t localWindow = 0;
  // Data of the packet being received that the local window was charged for when its
  // header was seen (0: none), and that packet's sequence number.
  uint32_t chargedAhead = 0;
  uint32_t chargedSequence = 0;
  SshSocket* socket = nullptr;  // the X11 or forwarded-port connection
};

// A handler waiting for one of two reply numbers.
using SshReplyCallback = void (*)(SshSession* session, SshPacket* packet, void* context);
struct SshReplyHandler {
  uint32_t success;
  uint32_t failure;
  SshReplyCallback handler;
  void* context;
  SshReplyHandler* next;
};

// ---- channel table ----
// The lowest free local id from 256 upward.
uint32_t SshChannelAllocId(SshSession* session);
// A zeroed record with an empty output and the local window at 16,384.
SshChannel* SshChannelNew(SshSession* session, uint32_t localId);
// Frees a record that never joined the table.
void SshChannelDiscard(SshChannel* channel);
void SshChannelsAdd(SshSession* session, SshChannel* channel);
SshChannel* SshChannelFind(SshSession* session, uint32_t localId);
// Removes the channel from the table and frees it (output included).
void SshChannelRemove(SshSession* session, SshChannel* channel);
// Removes every channel (and its output); used when the session closes.
void SshChannelsCloseAll(SshSession* session);
// Freezes or thaws the connections of every X11 and forwarded channel.
void SshChannelsOverrideThrottle(SshSession* session, int32_t on);

// ---- channel output and control ----
uint32_t SshChannelWrite(SshChannel* channel, const uint8_t* bytes, uint32_t length);
void SshChannelClose(SshChannel* channel);
void SshChannelUnthrottle(SshChannel* channel, uint32_t backlog);
uint32_t Ssh2ChannelTrySend(SshChannel* channel);
void Ssh2ChannelTrySendAndUnthrottle(SshChannel* channel);
void Ssh2ChannelSetWindow(SshChannel* channel, uint32_t newWindow);
// Holds the session's channel data back (nested) so that a burst of small writes leaves
// as full packets in one socket write; the release sends what is left. Window adjustments
// are not held.
void SshHoldOutput(SshSession* session);
void SshReleaseOutput(SshSession* session);
// Sends what is held now, the hold staying in place: called before waiting for the
// network, which may need what was held.
void SshFlushOutput(SshSession* session);

// ---- session entries ----
uint32_t SshSend(SshSession* session, const uint8_t* bytes, uint32_t length);
uint32_t SshSendBacklog(SshSession* session);
void SshWindowChange(SshSession* session, uint32_t width, uint32_t height);
// 12 EOF, 15 ping; other codes do nothing.
void SshSpecial(SshSession* session, uint32_t code);
inline constexpr uint32_t kSshSpecialEof = 12;
inline constexpr uint32_t kSshSpecialPing = 15;
SshChannel* SshOpenForwardChannel(SshSession* session, SshSocket* socket);
void SshSendPortOpen(SshChannel* channel, const char* host, uint32_t port);

// ---- reply queue ----
void SshQueueReplyHandler(SshSession* session, uint32_t success, uint32_t failure, SshReplyCallback handler,
                          void* context);
void SshReplyQueueFree(SshSession* session);

// ---- handlers and forwardings ----
// Installed by the start-up: window adjust and global requests first, then the channel
// messages once the main channel is open.
void Ssh2InstallConnectionHandlers(SshSession* session);
void Ssh2InstallChannelHandlers(SshSession* session);
// The exit code an "exit-signal" request's remainder gives (128 + signal, or 128).
int32_t SshExitSignalCode(SshPacket* packet);
// Starts added forwardings and removes dropped ones, from the settings' list.
void SshSetupForwards(SshSession* session);
// Releases the forwarding specs and remote-forward records.
void SshForwardsFree(SshSession* session);
