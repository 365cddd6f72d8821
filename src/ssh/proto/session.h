#pragma once
// The per-connection record of the SSH layer. The session is the plug of its socket; the
// protocol layers (packets, input, transport, authentication, channels) keep their state
// here, each in its own block of fields.
#include <atomic>
#include <cstdint>

#include "ssh/net/ssh_net.h"
#include "ssh/proto/constants.h"
#include "ssh/proto/settings.h"
#include "ssh/util/buffer_chain.h"

struct SshPacket;
struct SshChannel;
struct SshKexState;
struct SshAuthState;
struct SshCompressDesc;
struct SshCipherDesc;
struct SshMacDesc;
struct Ssh1CipherDesc;
struct SshKexDesc;
struct SshHostKeyDesc;
struct SshHashDesc;
struct SshDhState;
struct SftpEventInfo;
struct SftpNameEntry;
struct SftpTransferQueue;
struct SshReplyHandler;
struct SshPinger;
struct CountedTree;
struct X11Auth;
struct Ssh1State;

// Called with a packet by the input pump, with user data (no packet) by the send entry.
using SshProtocolHandler = void (*)(SshSession* session, const uint8_t* text, int32_t length, SshPacket* packet);
// Consumes bytes and returns a finished packet, or null when more bytes are needed.
using SshPacketReader = SshPacket* (*)(SshSession* session, const uint8_t** bytes, int32_t* count);
using SshDispatchHandler = void (*)(SshSession* session, SshPacket* packet);
using SshEventCallback = void (*)(SshSession* session, uint32_t code, SftpEventInfo* info, uint32_t parameter);
// The owner's decision on the server's host key (verified signature, fingerprint text
// "type bits hex"): non-zero accepts it. Without a check every verified key is accepted.
using SshHostKeyCheck = int32_t (*)(SshSession* session, const char* fingerprint, void* context);

// Server bug-compatibility flags.
inline constexpr uint32_t SSH1_IGNORE_BUG = 0x1;
inline constexpr uint32_t HMAC_BUG = 0x2;
inline constexpr uint32_t SSH1_PLAIN_PASSWORD_BUG = 0x4;
inline constexpr uint32_t SSH1_RSA_AUTH_BUG = 0x8;
inline constexpr uint32_t RSA_PADDING_BUG = 0x10;
inline constexpr uint32_t DERIVE_KEY_BUG = 0x20;
inline constexpr uint32_t REKEY_BUG = 0x40;
inline constexpr uint32_t PK_SESSION_ID_BUG = 0x80;
inline constexpr uint32_t OLD_GEX_BUG = 0x100;

// The SSH-2 receiver's partly read packet.
struct Ssh2ReceiveState {
  SshPacket* packet = nullptr;
  int32_t have = 0;   // bytes collected
  int32_t block = 0;  // cipher block size of this packet
  int32_t total = 0;  // length + 4 + MAC once the first block is known, else 0
};

// The SSH-1 receiver's partly read packet.
struct Ssh1ReceiveState {
  SshPacket* packet = nullptr;
  uint8_t lengthBytes[4] = {};
  int32_t have = 0;
  int32_t length = -1;  // -1 until the length field is complete
  int32_t total = 0;    // length + padding
};

// Where the reader of the server's identification is: lines before it that do not start
// with "SSH-" are skipped.
enum class SshIdentState : uint32_t {
  LineStart,   // matching "SSH-" at the start of a line
  Skipping,    // in a line that is not the identification
  Collecting,  // in the identification line
  Done,
};

// The server identification line being read.
struct SshIdentParser {
  SshIdentState state = SshIdentState::LineStart;
  int32_t matched = 0;   // characters of "SSH-" matched at the line start
  char* line = nullptr;  // collected line, "SSH-" first
  int32_t length = 0;
  int32_t capacity = 0;
  char version[10] = {};
  int32_t versionLength = 0;
  uint32_t inVersion = 0;
};

// Where the main channel's data is delivered: the waiting read's destination and the
// bytes that arrived while no read was waiting (pendingLength bytes from pendingStart:
// reads take from the front without moving the rest).
struct SftpChannelInput {
  uint8_t* destination;
  uint32_t wanted;
  uint8_t* pending;
  uint32_t pendingLength;
  uint32_t pendingCapacity;
  uint32_t pendingStart;
};

struct SshSession final : SshPlug {
  // ---- socket plug ----
  void Log(int32_t kind, const SshAddress* address, int32_t port, const char* text, int32_t code) override;
  int32_t Closing(uint32_t error, int32_t callingBack) override;
  int32_t Receive(int32_t urgent, const uint8_t* data, int32_t length) override;
  void Sent(uint32_t backlog) override;
  int32_t Accepting(SOCKET socket) override;

  SshSettings settings{};
  SshSocket* socket = nullptr;
  char* hostName = nullptr;
  uint32_t protocolVersion = 0;
  uint32_t connectionState = kSshStateNew;
  uint32_t lastError = 0;
  uint32_t timeout = 0;
  int32_t exitCode = -1;
  uint32_t ready = 0;

  // ---- packet layer ----
  const SshCipherDesc* csCipher = nullptr;
  void* csCipherContext = nullptr;
  const SshCipherDesc* scCipher = nullptr;
  void* scCipherContext = nullptr;
  const SshMacDesc* csMac = nullptr;
  void* csMacContext = nullptr;
  const SshMacDesc* scMac = nullptr;
  void* scMacContext = nullptr;
  const SshCompressDesc* csCompress = nullptr;
  void* csCompressContext = nullptr;
  const SshCompressDesc* scCompress = nullptr;
  void* scCompressContext = nullptr;
  const Ssh1CipherDesc* ssh1Cipher = nullptr;
  void* ssh1CipherContext = nullptr;
  // SSH-1 CRC-compensation attack detector: non-zero when the bytes are an attack.
  int32_t (*crcDetect)(void* detector, const uint8_t* bytes, uint32_t length) = nullptr;
  void* crcDetector = nullptr;
  uint32_t outSequence = 0;
  uint32_t inSequence = 0;
  Ssh2ReceiveState rx2;
  Ssh1ReceiveState rx1;
  uint8_t* deferred = nullptr;
  int32_t deferredLength = 0;
  int32_t deferredCapacity = 0;
  SshPacket** queue = nullptr;
  int32_t queueLength = 0;
  int32_t queueCapacity = 0;
  uint32_t queueing = 0;
  uint32_t bytesSent = 0;
  uint32_t bytesReceived = 0;
  uint32_t deferredBytes = 0;
  uint32_t integrityFailed = 0;  // a received packet failed its checks
  // Sees a received SSH-2 packet's first block as soon as it is decrypted and its length
  // checked, before the rest is received, decrypted and authenticated; payloadEnd is
  // where its payload ends. Called only when that block holds a channel message's header
  // (16-byte blocks, no compression): the connection layer grants window there.
  void (*packetStarted)(SshSession* session, const uint8_t* header, int32_t payloadEnd) = nullptr;

  // ---- session input ----
  SshPacketReader packetReader = nullptr;
  SshProtocolHandler protocol = nullptr;
  char* clientIdent = nullptr;  // SSH-2: without CR LF
  char* serverIdent = nullptr;
  SshIdentParser ident;
  uint32_t noProtocolChoice = 0;  // the identification exchange found no common version
  uint32_t bugs = 0;
  uint32_t frozen = 0;
  BufferChain heldInput{};
  int32_t throttleCount = 0;
  uint32_t allThrottled = 0;
  uint32_t overallBacklog = 0;
  uint32_t closeRequested = 0;
  uint32_t cleanClose = 0;
  uint32_t agentForwardingAvailable = 0;

  // ---- SSH-2 transport ----
  uint32_t transportState = kKexStart;
  SshKexState* kex = nullptr;
  const SshKexDesc* kexInForce = nullptr;
  const SshHostKeyDesc* hostKeyInForce = nullptr;
  SshDhState* dh = nullptr;
  const SshHashDesc* exchangeHashDesc = nullptr;
  void* exchangeHash = nullptr;
  char* hostKeyFingerprint = nullptr;
  uint8_t sessionId[64] = {};
  uint32_t sessionIdLength = 0;
  uint32_t dataLimit = 0;
  uint32_t kexInProgress = 0;
  uint32_t rekeyDue = 0;
  uint32_t lastKexTick = 0;
  SshDispatchHandler dispatch[256] = {};
  uint32_t authStarted = 0;
  SshHostKeyCheck hostKeyCheck = nullptr;
  void* hostKeyCheckContext = nullptr;

  // ---- SSH-2 authentication and start-up ----
  uint32_t authResume = 0;
  SshAuthState* auth = nullptr;
  CountedTree* channels = nullptr;
  SshChannel* mainChannel = nullptr;
  uint32_t mainIsDirectTcpip = 0;
  uint32_t sizeChangePending = 0;
  uint32_t eofPending = 0;
  uint32_t fallbackUsed = 0;
  uint32_t x11Accepted = 0;
  X11Auth* x11Auth = nullptr;  // the made-up cookie offered to the server
  // An observer of the main channel's data in place of the SFTP client's delivery (tests
  // of the lower layers use it); null sends the data to SftpChannelDeliver.
  void (*mainChannelData)(SshSession* session, const uint8_t* data, uint32_t length) = nullptr;

  // ---- connection layer ----
  SshReplyHandler* replyHead = nullptr;  // handlers waiting for a global reply, oldest first
  SshReplyHandler* replyTail = nullptr;
  CountedTree* forwardSpecs = nullptr;    // configured forwardings
  CountedTree* remoteForwards = nullptr;  // remote forwardings asked of the server
  SshPinger* pinger = nullptr;
  uint32_t outputHeld = 0;  // SshHoldOutput nesting: channel data waits for full packets

  // ---- SSH-1 login and connection phase ----
  Ssh1State* ssh1 = nullptr;

  // ---- SFTP client ----
  char* currentDirectory = nullptr;
  char* homeDirectory = nullptr;
  SftpNameEntry** listing = nullptr;
  int32_t listingCount = 0;
  int32_t listingPosition = -1;
  SftpChannelInput channelInput{};
  CountedTree* requests = nullptr;
  SftpTransferQueue* transfer = nullptr;
  uint32_t transferMode = UINT32_MAX;  // 0 download, 1 upload, 2 append; all bits: none
  uint32_t replyPending = 0;
  uint8_t* dataBlock = nullptr;  // download block being handed out
  uint32_t dataBlockLength = 0;
  uint32_t dataBlockConsumed = 0;
  uint64_t byteCount = 0;
  int32_t sftpStatus = -1;  // last STATUS code, -1 after a protocol error
  std::atomic<uint32_t> abort{0};  // set by another thread's cancel
  SftpEventInfo* eventInfo = nullptr;

  // ---- events to the owner ----
  SshEventCallback eventCallback = nullptr;
  uint32_t eventParameter = 0;
  uint32_t eventMask = 0;
};

// Stores a code (1 to 0xFFFF widened to 0x80040000 | code) in the session, when there is
// one, and in the thread's last error.
void SshSetLastError(SshSession* session, uint32_t code);
uint32_t SshGetLastError(SshSession* session);
// Seconds for every blocking wait: 60 when none is set (0 without a session).
uint32_t SshGetTimeout(SshSession* session);
int32_t SshIsConnected(SshSession* session);
const char* SshGetHostKeyFingerprint(SshSession* session);
void SshFireEvent(SshSession* session, uint32_t code, SftpEventInfo* info);
