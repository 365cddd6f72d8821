#pragma once
// The HTTP library's session record: the header every library shares, then the
// notification registration, the connection and request state, the response being read,
// the header lists and the TLS state, and at the end the library's private bookkeeping
// (operation depth, cancel signal, input buffer). Fields other threads read (blocked,
// cancel, transfer counters and ticks) are atomics.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/stream/read_ahead.h"
#include "platform/base/heap.h"
#include "platform/base/sync.h"
#include "platform/types.h"

struct SecCredentials;

inline constexpr int kHttpEventCount = 9;
inline constexpr size_t kHttpHostNameSize = 256;
inline constexpr size_t kHttpCredentialSize = 128;
inline constexpr size_t kHttpRequestPathSize = 512;
inline constexpr size_t kHttpLineBufferSize = 65536;
inline constexpr size_t kHttpStatusTextSize = 128;
inline constexpr uint32_t kHttpInputBufferSize = 16384;

// One header: name and value from the session heap. A node whose name is null was
// emptied and is reused by the next addition.
struct HttpHeaderNode {
  char* name;
  char* value;
  HttpHeaderNode* next;
};

struct HttpHeaderList {
  HttpHeaderNode* first;
  HttpHeaderNode* last;
  HttpHeaderNode* cursor;
};

// A text owned by the session heap, with its length.
struct HttpText {
  char* text;
  uint32_t length;
};

namespace cvhttp {
struct HttpStreams;  // the connection's streams (http_streams.h)
}

struct HttpClientSession {
  LibSessionHeader header;  // handle, slot, owner thread, socket
  // Notification: socket window and message, event mask, held network events, notification
  // window and message, callbacks and parameters, frozen and firing state, hold count.
  cvcore::NotifyRegistration<kHttpEventCount> notify;

  std::atomic<uint32_t> blocked;
  std::atomic<uint32_t> cancel;
  uint32_t chunked;
  uint32_t serverClosed;
  uint32_t responsePending;
  uint32_t connected;
  uint32_t errorStatus;
  uint32_t requestOpen;
  uint32_t keepAlive;
  uint32_t compression;
  uint32_t expectContinue;
  uint32_t redirected;
  uint32_t redirectCount;
  uint32_t timeout;  // seconds
  uint32_t priority;
  uint32_t method;  // id of the method table, 255 for another method
  uint32_t authentication;
  uint32_t proxyType;  // 0 none, 1 proxy, 2 tunnel, 255 other
  uint32_t proxyAuthorization;
  uint32_t urlEncoding;
  uint32_t options;
  uint16_t versionMinor;
  uint16_t versionMajor;
  SockAddress serverAddress;
  SockAddress proxyAddress;
  uint32_t port;
  uint32_t proxyPort;
  std::atomic<uint64_t> expectedLength;
  std::atomic<uint64_t> bytesCopied;
  std::atomic<uint64_t> startOffset;
  std::atomic<uint32_t> startTick;
  std::atomic<uint32_t> endTick;
  plat::HGLOBAL dataBlock;  // a transfer into memory is under way while set
  char host[kHttpHostNameSize];
  char user[kHttpCredentialSize];
  char password[kHttpCredentialSize];
  char proxyHost[kHttpHostNameSize];
  char proxyUser[kHttpCredentialSize];
  char proxyPassword[kHttpCredentialSize];
  char requestPath[kHttpRequestPathSize];
  char lineBuffer[kHttpLineBufferSize];
  uint32_t lineLength;
  int32_t statusCode;
  char statusText[kHttpStatusTextSize];
  HttpText requestText;
  HttpText query;
  HttpText location;
  HttpText proxyUrlPrefix;
  HttpText absoluteUrl;
  HttpText requestBody;
  HttpHeaderList requestHeaders;
  HttpHeaderList responseHeaders;

  // TLS state.
  uint32_t tlsProtocolMask;
  uint32_t certificateStatus;
  uint32_t lastSecurityStatus;
  SecCredentials* credentials;  // the session's own copy
  cvhttp::HttpStreams* streams;  // the socket, and the TLS stage while a TLS connection is up

  // ---- private bookkeeping ----
  plat::HeapHandle heap;    // the session's private heap, created on first use
  uint32_t operationDepth;  // public calls of this session in progress (nested by events)
  uint32_t freePending;     // freed by an event receiver: released when the outermost call returns
  plat::Event cancelSignal;  // set by HttpCancel: wakes a wait of the owner thread
  char* convertBuffer;       // line-end conversion buffer, from the session heap
  uint32_t convertSize;
  uint32_t quoted;           // the response line being read is inside double quotes
  uint32_t lengthKnown;      // the response announced its body length (0 included)
  uint32_t ownHeaders;       // request headers the current operation computed (OwnHeader bits)
  uint32_t rangeRequested;   // the request just sent asked for a range
  uint32_t responsesOnConnection;  // response heads read on the connection now open
  uint64_t chunkRemaining;   // body bytes left in the current chunk of a chunked body
  uint32_t chunkStarted;     // the first chunk size of the body has been read
  int32_t transferCoding;    // compression applied as a transfer coding under chunked (encoding id), or 0
  uint32_t headDeadline;     // tick by which the response head being read must be complete
  uint32_t headDeadlineSet;  // headDeadline applies to the waits now
  cvcore::ReadAhead<kHttpInputBufferSize> input;  // bytes received, not yet handed out
};
