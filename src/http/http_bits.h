#pragma once
// The named bits and values of the HTTP library, defined once for the library, the controls
// that drive it, their type information and the tests: connect options, events, transfer
// options, protocol versions, method ids, content encodings and proxy types.
#include <cstdint>

namespace cvhttp {

// Option bits of a session.
inline constexpr uint32_t kOptNoCache = 0x1;
inline constexpr uint32_t kOptKeepAlive = 0x2;
inline constexpr uint32_t kOptFollowRedirects = 0x4;
inline constexpr uint32_t kOptSystemProxy = 0x8;
inline constexpr uint32_t kOptErrorsAreStatus = 0x10;
inline constexpr uint32_t kOptNoUserAgent = 0x20;
inline constexpr uint32_t kOptNoPortTls = 0x400;
inline constexpr uint32_t kOptNoCertCheck = 0x800;
inline constexpr uint32_t kOptSecure = 0x1000;
inline constexpr uint32_t kOptTlsCredentials = 0x8000;
inline constexpr uint32_t kOptIpv6 = 0x40000;
inline constexpr uint32_t kOptFreeThreaded = 0x80000;
inline constexpr uint32_t kOptMilliseconds = 0x1000000;

// Event bits.
inline constexpr uint32_t kEventConnect = 1;
inline constexpr uint32_t kEventDisconnect = 2;
inline constexpr uint32_t kEventRead = 4;
inline constexpr uint32_t kEventWrite = 8;
inline constexpr uint32_t kEventTimeout = 16;
inline constexpr uint32_t kEventCancel = 32;
inline constexpr uint32_t kEventCommand = 64;
inline constexpr uint32_t kEventProgress = 128;
inline constexpr uint32_t kEventRedirect = 256;

// Method ids.
inline constexpr uint32_t kMethodGet = 1, kMethodHead = 2, kMethodPost = 3, kMethodPut = 4, kMethodPropfind = 12,
                          kMethodBpropfind = 13, kMethodProppatch = 14, kMethodBproppatch = 15, kMethodPatch = 16,
                          kMethodOther = 255;

// Ids of the Content-Encoding table (HttpGetContentEncoding).
inline constexpr int32_t kEncodingIdentity = 0, kEncodingCompress = 1, kEncodingDeflate = 2, kEncodingGzip = 3,
                         kEncodingZlib = 4;

inline constexpr uint32_t kProxyNone = 0, kProxyCern = 1, kProxyTunnel = 2, kProxySystem = 3, kProxyOther = 255;

// Option bits of the retrieve and post calls.
inline constexpr uint32_t kTransferConvertText = 0x1;  // a text response in local line ends
inline constexpr uint32_t kTransferCompressed = 0x2;   // ask for and undo a content encoding
inline constexpr uint32_t kPostMultipart = 0x2;        // the data is a form body, sent unencoded

// Protocol versions: the major number in the high word.
inline constexpr uint32_t kVersion09 = 0;
inline constexpr uint32_t kVersion10 = 0x10000;
inline constexpr uint32_t kVersion11 = 0x10001;

}  // namespace cvhttp
