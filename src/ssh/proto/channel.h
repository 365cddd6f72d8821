#pragma once
// Channels of the connection layer: the record and the entry points the session start-up
// and the session input need.
#include <cstdint>

#include "ssh/proto/session.h"
#include "ssh/util/buffer_chain.h"

enum SshChannelType : uint32_t {
  ChannelMain = 0,
  ChannelX11 = 1,
  ChannelAgent = 2,
  ChannelForward = 3,
  ChannelForwardPending = 4,
};

inline constexpr uint32_t kSshChannelWindow = 16384;
inline constexpr uint32_t kSshChannelMaxPacket = 16384;

struct SshChannel {
  SshSession* session;
  uint32_t remoteId;
  uint32_t localId;  // the channel table key
  uint32_t type;
  uint32_t halfOpen;
  uint32_t closing;
  BufferChain output;  // data waiting for window
  uint32_t throttling;
  uint32_t remoteWindow;
  uint32_t remoteMaxPacket;
  uint32_t localWindow;
  SshSocket* socket;
};

// The lowest free local id from 256 upward.
uint32_t SshChannelAllocId(SshSession* session);
SshChannel* SshChannelNew(SshSession* session, uint32_t localId);
void SshChannelsAdd(SshSession* session, SshChannel* channel);
SshChannel* SshChannelFind(SshSession* session, uint32_t localId);
// Appends to the channel's output and sends what the window allows; the bytes left.
uint32_t SshChannelWrite(SshChannel* channel, const uint8_t* bytes, uint32_t length);
void SshChannelClose(SshChannel* channel);
// Handlers installed by the start-up: window adjust and global requests first, then the
// channel messages once the main channel is open.
void Ssh2InstallConnectionHandlers(SshSession* session);
void Ssh2InstallChannelHandlers(SshSession* session);
void SshSetupForwards(SshSession* session);
// Removes every channel (and its output); used when the session closes.
void SshChannelsCloseAll(SshSession* session);
void SshChannelsOverrideThrottle(SshSession* session, int32_t on);
