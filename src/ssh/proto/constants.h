#pragma once
// The numbers of the SSH library, each defined once: the message numbers of both protocol
// versions (SSH-1, and SSH-2 as RFC 4250 section 4.1 lists them), the connection and
// transport states of a session and the disconnect reasons the client sends.
#include <cstdint>

namespace cvssh::ssh1 {

enum : uint32_t {
  kMsgDisconnect = 1,
  kSmsgPublicKey = 2,
  kCmsgSessionKey = 3,
  kCmsgUser = 4,
  kCmsgAuthRsa = 6,
  kSmsgAuthRsaChallenge = 7,
  kCmsgAuthRsaResponse = 8,
  kCmsgAuthPassword = 9,
  kCmsgRequestPty = 10,
  kCmsgWindowSize = 11,
  kCmsgExecShell = 12,
  kCmsgExecCmd = 13,
  kSmsgSuccess = 14,
  kSmsgFailure = 15,
  kCmsgStdinData = 16,
  kSmsgStdoutData = 17,
  kSmsgStderrData = 18,
  kCmsgEof = 19,
  kSmsgExitStatus = 20,
  kMsgChannelOpenConfirmation = 21,
  kMsgChannelOpenFailure = 22,
  kMsgChannelData = 23,
  kMsgChannelClose = 24,
  kMsgChannelCloseConfirmation = 25,
  kSmsgX11Open = 27,
  kCmsgPortForwardRequest = 28,
  kMsgPortOpen = 29,
  kMsgIgnore = 32,
  kCmsgExitConfirmation = 33,
  kCmsgX11RequestForwarding = 34,
  kMsgDebug = 36,
  kCmsgRequestCompression = 37,
};

}  // namespace cvssh::ssh1

namespace cvssh::ssh2 {

enum : uint32_t {
  kMsgDisconnect = 1,
  kMsgIgnore = 2,
  kMsgUnimplemented = 3,
  kMsgDebug = 4,
  kMsgServiceRequest = 5,
  kMsgServiceAccept = 6,
  kMsgKexinit = 20,
  kMsgNewkeys = 21,
  // Key exchange numbers 30 to 49 mean what the negotiated method says.
  kMsgKexdhInit = 30,
  kMsgKexdhReply = 31,
  kMsgKexDhGexRequestOld = 30,
  kMsgKexDhGexGroup = 31,
  kMsgKexDhGexInit = 32,
  kMsgKexDhGexReply = 33,
  kMsgKexDhGexRequest = 34,
  kMsgUserauthRequest = 50,
  kMsgUserauthFailure = 51,
  kMsgUserauthSuccess = 52,
  kMsgUserauthBanner = 53,
  kMsgUserauthInfoRequest = 60,
  kMsgUserauthInfoResponse = 61,
  kMsgGlobalRequest = 80,
  kMsgRequestSuccess = 81,
  kMsgRequestFailure = 82,
  kMsgChannelOpen = 90,
  kMsgChannelOpenConfirmation = 91,
  kMsgChannelOpenFailure = 92,
  kMsgChannelWindowAdjust = 93,
  kMsgChannelData = 94,
  kMsgChannelExtendedData = 95,
  kMsgChannelEof = 96,
  kMsgChannelClose = 97,
  kMsgChannelRequest = 98,
  kMsgChannelSuccess = 99,
  kMsgChannelFailure = 100,
};

// The transport layer's generic and key exchange range, routed to the transport.
inline constexpr uint32_t kMsgTransportFirst = kMsgKexinit;
inline constexpr uint32_t kMsgTransportLast = 49;

}  // namespace cvssh::ssh2

// Connection states.
inline constexpr uint32_t kSshStateNew = 0;
inline constexpr uint32_t kSshStateIdentified = 1;
inline constexpr uint32_t kSshStateTerminalAsked = 2;
inline constexpr uint32_t kSshStateRunning = 3;
inline constexpr uint32_t kSshStateClosed = 4;

// Transport states.
enum : uint32_t {
  kKexStart = 0,
  kKexWaitKexinit,
  kKexIgnoreOne,
  kKexWaitGroup,
  kKexWaitReply,
  kKexWaitNewkeys,
  kKexIdle,
};

// SSH-2 disconnect reasons used by the client.
inline constexpr uint32_t kSshDisconnectProtocolError = 2;
inline constexpr uint32_t kSshDisconnectKexFailed = 3;
inline constexpr uint32_t kSshDisconnectMacError = 5;
inline constexpr uint32_t kSshDisconnectHostKeyNotVerifiable = 9;
inline constexpr uint32_t kSshDisconnectByApplication = 11;
inline constexpr uint32_t kSshDisconnectAuthCancelled = 13;
inline constexpr uint32_t kSshDisconnectNoMoreAuthMethods = 14;
