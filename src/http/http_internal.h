#pragma once
// What the HTTP library's operations share behind the C-style interface (its named bits
// and values are in http_bits.h): the operation scope that keeps a session record alive
// while an event receiver may free it, error helpers, the connection's byte I/O with its waits, the
// session-heap texts and the internal forms of the calls the library makes on itself.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/errors/error_codes.h"
#include "core/stream/transfer_pacing.h"
#include "http/http.h"
#include "http/http_bits.h"
#include "http/http_library.h"
#include "platform/base/tick.h"

namespace cvhttp {

inline constexpr uint32_t kBlockSize = 8192;
inline constexpr uint32_t kRedirectFlag = 0x80000;
inline constexpr uint32_t kDefaultTlsMask = 16;  // TLS 1.2
inline constexpr uint32_t kDefaultTimeout = 20;  // seconds
inline constexpr uint32_t kDefaultVersion = kVersion11;

// One public call on a session. The outermost scope of a session releases it when an
// event receiver freed it meanwhile (HttpFreeSession only marks a busy session), so the
// record stays valid for every call below; after anything that can run a receiver, test
// Gone().
class Operation {
 public:
  explicit Operation(LibHandle handle) noexcept;
  ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  HttpClientSession* session() const noexcept { return session_; }
  explicit operator bool() const noexcept { return session_ != nullptr; }

 private:
  HttpClientSession* session_;
};

inline bool Gone(const HttpClientSession& s) noexcept { return s.freePending != 0; }

// Releases a session now, or marks it (closing its socket) while calls are running on it.
void ReleaseOrDefer(LibHandle handle) noexcept;

// Error helpers: set the library's last error and return the failure value.
int32_t Fail(uint32_t code) noexcept;
inline LibHandle FailHandle(uint32_t code) noexcept {
  Fail(code);
  return kInvalidLibHandle;
}
uint32_t TakePlatformError() noexcept;
uint32_t LastError() noexcept;

// Event delivery through the notification engine; the receiver may free the session.
void Fire(HttpClientSession& s, uint32_t event, uint32_t error) noexcept;
// Fails with error and fires event with it; -1.
int32_t FailWithEvent(HttpClientSession& s, uint32_t error, uint32_t event) noexcept;

// The socket window is taken off for a synchronous stretch and put back afterwards.
class WindowDetach {
 public:
  explicit WindowDetach(HttpClientSession& s) noexcept;
  ~WindowDetach();
  WindowDetach(const WindowDetach&) = delete;
  WindowDetach& operator=(const WindowDetach&) = delete;

 private:
  HttpClientSession& s_;
  HWND window_;
  UINT message_;
};
void DetachWindow(HttpClientSession& s) noexcept;
void AttachWindow(HttpClientSession& s, HWND window, UINT message) noexcept;

// ---- connection I/O (http_io.cpp) ----
uint32_t TimeoutMs(const HttpClientSession& s) noexcept;  // INFINITE for timeout 0
// What the next wait of the connection may take: the timeout, cut to what is left of a
// response head's deadline (0 once it has passed).
uint32_t WaitMs(const HttpClientSession& s) noexcept;
// One deadline, the session's timeout from now (none for timeout 0), for the whole of a
// response head, interim responses included, however the server spins it out.
class HeadDeadline {
 public:
  explicit HeadDeadline(HttpClientSession& s) noexcept;
  ~HeadDeadline();
  HeadDeadline(const HeadDeadline&) = delete;
  HeadDeadline& operator=(const HeadDeadline&) = delete;

 private:
  HttpClientSession& s_;
};
// Waits for readability (POLLIN) or writability (POLLOUT) up to timeoutMs or a cancel.
// False with the error set: 10060 and event 16, 10004 and event 32, or the wait's error.
bool WaitSocket(HttpClientSession& s, short events, uint32_t timeoutMs) noexcept;
// Bytes from the connection (the input buffer first); 0 when the server closed it (the
// server-closed flag set), -1 with the error. Nothing is counted.
int32_t RawRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
bool RawReadByte(HttpClientSession& s, char* c, bool* closed) noexcept;
// Sends all of data; false with the error. Nothing is counted.
bool RawSend(HttpClientSession& s, const char* data, uint32_t length) noexcept;
// The counting forms of the public HttpRecv and HttpSend.
int32_t Recv(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
int32_t Send(HttpClientSession& s, const char* data, uint32_t length) noexcept;
inline bool SendText(HttpClientSession& s, const std::string& text) noexcept {
  return Send(s, text.data(), uint32_t(text.size())) == int32_t(text.size());
}
// The pacing state of one transfer loop.
struct BlockPacer {
  uint32_t lastProgress = plat::GetTickCount();
  cvcore::TransferTurns turns;
};
// After each block of a transfer loop: the message loop's turn, progress and cancel. False
// with cvErrorOperationCanceled.
bool AfterBlock(HttpClientSession& s, BlockPacer& pacer) noexcept;
// The block of a transfer loop: 8 KiB at the slow priorities, larger above.
inline uint32_t BlockSize(const HttpClientSession& s) noexcept {
  return cvcore::TransferBlockSize(s.priority, kBlockSize);
}
void ClearStaleCancel(HttpClientSession& s) noexcept;
// Closes the socket (TLS shut down first) and drops buffered input.
void CloseConnection(HttpClientSession& s) noexcept;
// Opens a TCP connection to address:port with the session's timeout (20 s when 0).
SOCKET OpenSocket(HttpClientSession& s, const SockAddress& address, uint32_t port) noexcept;

// Body reading over chunked coding, an announced length or the connection's end: up to
// length bytes, 0 at the end of the body, -1 with the error.
int32_t ReadBody(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
// The next chunk size line (see HttpReadChunkSize).
int64_t ReadChunkSize(HttpClientSession& s) noexcept;

// ---- session-heap texts and headers ----
// A method or header name: visible characters without separators.
bool IsToken(const char* text) noexcept;
bool SetText(HttpClientSession& s, HttpText& field, const char* text, size_t length) noexcept;
void FreeText(HttpClientSession& s, HttpText& field) noexcept;
// The first header of the list with the name, or null.
const char* FindHeader(HttpClientSession& s, HttpHeaderList& list, const char* name) noexcept;
int32_t SetHeader(HttpClientSession& s, uint32_t list, const char* name, const char* value) noexcept;
void ClearHeaders(HttpClientSession& s, HttpHeaderList& list) noexcept;
// A range for this operation only (removed when it ends); offset 0 removes any range.
int32_t SetRange(HttpClientSession& s, uint64_t offset) noexcept;

// Request headers the library computes for one operation. They are removed when the
// operation ends, so that nothing one request needed (a range, a content type, credentials)
// is sent again with the next. A header the caller sets by name becomes the caller's.
enum class OwnHeader : uint32_t {
  Host, Connection, Accept, CacheControl, Pragma, ContentType, ContentLength, Depth, UserAgent,
  ProxyAuthorization, Authorization, Range, AcceptEncoding, Count
};
// Sets the header for this operation; with ifAbsent only when the request has none.
void SetOwnHeader(HttpClientSession& s, OwnHeader which, const char* value, bool ifAbsent = false) noexcept;
// Removes the header when this operation set it.
void DropOwnHeader(HttpClientSession& s, OwnHeader which) noexcept;
void DropOwnHeaders(HttpClientSession& s) noexcept;

// ---- requests and responses ----
int32_t SendRequest(HttpClientSession& s, const char* method, const char* resource, const void* data,
                    uint32_t length, uint32_t flags) noexcept;
// The head of a request whose body the caller sends (PUT, multipart POST); the caller
// then reads the response head.
int32_t SendRequestDeferred(HttpClientSession& s, const char* method, const char* resource) noexcept;
int32_t EndRequest(HttpClientSession& s) noexcept;
// Ends a request whose body could not be read: the connection goes, the error stays.
void AbortRequest(HttpClientSession& s) noexcept;
// Reads a pending response head (or a chunked body's trailer). A failure other than an
// error status leaves the connection unusable: it is closed, unless a time-out is expected
// (the wait for an interim response).
int32_t ReadResponse(HttpClientSession& s, bool keepOnTimeout = false) noexcept;
uint32_t StatusToError(int32_t status) noexcept;
// The decimal number at p into value; the position after its digits, or null without
// digits or when it does not fit in 64 bits.
const char* ParseDecimal(const char* p, uint64_t& value) noexcept;
// A "Content-Length" value: decimal digits, blanks after them allowed; false for anything
// else.
bool ParseContentLength(const char* text, uint64_t& out) noexcept;
// Marks the connection closed (and closes it) so that the next request reconnects.
void DropConnection(HttpClientSession& s) noexcept;
int32_t ResultCode(HttpClientSession& s) noexcept;
int32_t ContentClass(HttpClientSession& s) noexcept;
int32_t ContentEncoding(HttpClientSession& s) noexcept;
// The session's connection opened again; on failure the session is released.
int32_t Reconnect(HttpClientSession& s) noexcept;
int32_t FollowRedirect(HttpClientSession& s, const char* location) noexcept;
int32_t OpenTunnel(HttpClientSession& s) noexcept;
// The CONNECT through the proxy with the socket window held off and TLS off meanwhile;
// false with the error.
bool TunnelThenTls(HttpClientSession& s) noexcept;
int32_t Disconnect(HttpClientSession& s) noexcept;
int32_t ConvertLineEnds(HttpClientSession& s, const char* data, uint32_t length, char** out, uint32_t* outLength,
                        uint32_t* last) noexcept;
std::string Base64(const std::string& text);
// A multipart field or file name for its quoted parameter: '"' escaped as browsers do
// ("%22"); false for a name with a line break, which no escaping makes safe.
bool FormDataName(const char* name, std::string& out);

// ---- content decoding ----
// Nothing decoded grows past kInflateLimit. A body decoded into memory for the library's
// own block may also grow no more than kInflateRatio times its compressed size once past
// kInflateFloor: real content rarely shrinks a hundredfold, a decompression bomb always does.
inline constexpr uint64_t kInflateLimit = 1ull << 30;
inline constexpr uint64_t kInflateFloor = 32ull << 20;
inline constexpr uint64_t kInflateRatio = 128;
uint64_t DecodedLimit(uint64_t compressed) noexcept;
// Inflates length bytes at data into a new movable block of at most limit bytes: with cut
// the rest is dropped, else a longer result fails with 12293. With a session its timeout and
// cancel stop the loop. 1, or 0 with the error.
int32_t InflateBlock(HttpClientSession* s, const void* data, uint32_t length, uint64_t limit, bool cut,
                     plat::HGLOBAL* result, uint32_t* resultLength) noexcept;
int32_t InflateFile(HttpClientSession& s, const char* fileName, bool text) noexcept;

// ---- TLS (http_tls.cpp) ----
int32_t TlsCreateCredentials(HttpClientSession& s) noexcept;
int32_t TlsHandshake(HttpClientSession& s) noexcept;
int32_t TlsVerifyServer(HttpClientSession& s) noexcept;
int32_t TlsSend(HttpClientSession& s, const char* data, uint32_t length) noexcept;
int32_t TlsRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
void TlsShutdown(HttpClientSession& s) noexcept;
void TlsRelease(HttpClientSession& s) noexcept;
bool TlsActive(const HttpClientSession& s) noexcept;  // the handshake is done

// Copies text into a fixed field, cut to its size.
template <size_t N>
void CopyField(char (&field)[N], const char* text) noexcept {
  size_t i = 0;
  if (text)
    for (; i + 1 < N && text[i]; ++i) field[i] = text[i];
  field[i] = '\0';
}
inline bool Empty(const char* text) noexcept { return !text || !*text; }
bool EqualNoCase(const char* a, const char* b) noexcept;

}  // namespace cvhttp
