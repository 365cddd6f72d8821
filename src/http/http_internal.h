#pragma once
// What the HTTP library's operations share behind the C-style interface (its named bits
// and values are in http_bits.h): the operation scope that keeps a session record alive
// while an event receiver may free it, the outcomes helpers return and where a public call
// finishes with them, the connection's byte I/O with its waits, the session-heap texts and
// the internal forms of the calls the library makes on itself.
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/errors/error_codes.h"
#include "core/errors/status.h"
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

using cvcore::FirstFailure;
using cvcore::Result;
using cvcore::Status;

// What a call on a session meets when an event receiver freed the session meanwhile.
inline constexpr Status kSessionGone{cvErrorInvalidHandle};

// What some calls give back even when they fail (a status code beside its error, 0 for
// "not found" beside the reason): the public call returns the value and, on a failure,
// sets the error.
struct Answer {
  int32_t value;
  Status status;
};

// Where a public call ends: a failure's code becomes the last error (the frame's Finish).
template <typename T>
T Finish(Status status, T onSuccess, std::type_identity_t<T> onFailure) noexcept {
  return Library().Finish(status, onSuccess, onFailure);
}
template <typename T>
T Finish(const Result<T>& result, std::type_identity_t<T> onFailure) noexcept {
  return Library().Finish(result, onFailure);
}
// The end of a call that talked to the server: a success leaves no error behind.
template <typename T>
T FinishExchange(Status status, T onSuccess, std::type_identity_t<T> onFailure) noexcept {
  if (status.ok()) Library().SetLastError(0);
  return Library().Finish(status, onSuccess, onFailure);
}
template <typename T>
T FinishExchange(const Result<T>& result, std::type_identity_t<T> onFailure) noexcept {
  return FinishExchange(result.status(), result.value(), onFailure);
}
// The end of a call that talks to the server only when it has a response head to read.
template <typename T>
T FinishRead(bool reads, Status status, T onSuccess, std::type_identity_t<T> onFailure) noexcept {
  return reads ? FinishExchange(status, onSuccess, onFailure) : Finish(status, onSuccess, onFailure);
}

// The platform's error of a call that just failed; one that left none behind still fails.
Status PlatformError() noexcept;
// The failure a public call (the library's own, or the frame's or the engine's behind it)
// just reported through the last error, taken up where such a call serves a helper; one
// that left none behind fails with otherwise.
Status ReportedError(uint32_t otherwise = cvErrorInternalFailure) noexcept;
// The form of a handle; the caller holds the library lock.
Result<HttpForm*> FindForm(LibHandle form) noexcept;

// Event delivery through the notification engine; the receiver may free the session.
void Fire(HttpClientSession& s, uint32_t event, uint32_t error) noexcept;
// Fires event with error (a time-out, a cancel, an error status): the failure.
Status Raise(HttpClientSession& s, uint32_t error, uint32_t event) noexcept;

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
// The failures: 10060 with event 16, 10004 with event 32, or the wait's error.
Status WaitSocket(HttpClientSession& s, short events, uint32_t timeoutMs) noexcept;
// The failure the connection's stream reported for the call that just failed on it.
Status StreamError(HttpClientSession& s) noexcept;
// Bytes from the connection (the input buffer first); 0 when the server closed it (the
// server-closed flag set). Nothing is counted.
Result<uint32_t> RawRecv(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
// One byte into c: true, or false when the server closed the connection.
Result<bool> RawReadByte(HttpClientSession& s, char& c) noexcept;
// Sends all of data. Nothing is counted.
Status RawSend(HttpClientSession& s, const char* data, uint32_t length) noexcept;
// The counting forms of the public HttpRecv and HttpSend.
Result<uint32_t> Recv(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
Status Send(HttpClientSession& s, const char* data, uint32_t length) noexcept;
inline Status SendText(HttpClientSession& s, const std::string& text) noexcept {
  return Send(s, text.data(), uint32_t(text.size()));
}
// The pacing state of one transfer loop.
struct BlockPacer {
  uint32_t lastProgress = plat::GetTickCount();
  cvcore::TransferTurns turns;
};
// After each block of a transfer loop: the message loop's turn, progress and cancel
// (cvErrorOperationCanceled).
Status AfterBlock(HttpClientSession& s, BlockPacer& pacer) noexcept;
// The block of a transfer loop: 8 KiB at the slow priorities, larger above.
inline uint32_t BlockSize(const HttpClientSession& s) noexcept {
  return cvcore::TransferBlockSize(s.priority, kBlockSize);
}
void ClearStaleCancel(HttpClientSession& s) noexcept;
// Closes the socket (TLS shut down first) and drops buffered input.
void CloseConnection(HttpClientSession& s) noexcept;
// Opens a TCP connection to address:port with the session's timeout (20 s when 0).
Result<SOCKET> OpenSocket(HttpClientSession& s, const SockAddress& address, uint32_t port) noexcept;

// Body reading over chunked coding, an announced length or the connection's end: up to
// length bytes, 0 at the end of the body.
Result<uint32_t> ReadBody(HttpClientSession& s, char* buffer, uint32_t length) noexcept;
// The next chunk size, or kChunkLinesEnded when the connection ended between lines.
inline constexpr int64_t kChunkLinesEnded = -1;
Result<int64_t> ReadChunkSize(HttpClientSession& s) noexcept;

// ---- session-heap texts and headers ----
// A method or header name: visible characters without separators.
bool IsToken(const char* text) noexcept;
Status SetText(HttpClientSession& s, HttpText& field, const char* text, size_t length) noexcept;
void FreeText(HttpClientSession& s, HttpText& field) noexcept;
// The first header of the list with the name, or null.
const char* FindHeader(HttpClientSession& s, HttpHeaderList& list, const char* name) noexcept;
// Sets (or with a null value removes) a header of list 0 (request) or 1 (response): 1, or 0
// when there was nothing to remove.
Result<int32_t> SetHeader(HttpClientSession& s, uint32_t list, const char* name, const char* value) noexcept;
// Removes a request header by name, if there is one.
void RemoveHeader(HttpClientSession& s, const char* name) noexcept;
void ClearHeaders(HttpClientSession& s, HttpHeaderList& list) noexcept;
// A range for this operation only (removed when it ends); offset 0 removes any range.
Status SetRange(HttpClientSession& s, uint64_t offset) noexcept;

// Request headers the library computes for one operation. They are removed when the
// operation ends, so that nothing one request needed (a range, a content type, credentials)
// is sent again with the next. A header the caller sets by name becomes the caller's.
enum class OwnHeader : uint32_t {
  Host, Connection, Accept, CacheControl, Pragma, ContentType, ContentLength, Depth, UserAgent,
  ProxyAuthorization, Authorization, Range, AcceptEncoding, Count
};
// Sets the header for this operation; with ifAbsent only when the request has none. A
// header that finds no memory is left out.
void SetOwnHeader(HttpClientSession& s, OwnHeader which, const char* value, bool ifAbsent = false) noexcept;
// Removes the header when this operation set it.
void DropOwnHeader(HttpClientSession& s, OwnHeader which) noexcept;
void DropOwnHeaders(HttpClientSession& s) noexcept;

// ---- requests and responses ----
// The status code of the response (200 for an HTTP/0.9 request).
Result<int32_t> SendRequest(HttpClientSession& s, const char* method, const char* resource, const void* data,
                            uint32_t length, uint32_t flags) noexcept;
// The head of a request whose body the caller sends (PUT, multipart POST); the caller
// then reads the response head.
Result<int32_t> SendRequestDeferred(HttpClientSession& s, const char* method, const char* resource) noexcept;
Status EndRequest(HttpClientSession& s) noexcept;
// Ends a request whose body could not be read: the connection goes, the error stays.
void AbortRequest(HttpClientSession& s) noexcept;
// Reads a pending response head (or a chunked body's trailer). A failure other than an
// error status leaves the connection unusable: it is closed, unless a time-out is expected
// (the wait for an interim response).
Status ReadResponse(HttpClientSession& s, bool keepOnTimeout = false) noexcept;
uint32_t StatusToError(int32_t status) noexcept;
// The decimal number at p into value; the position after its digits, or null without
// digits or when it does not fit in 64 bits.
const char* ParseDecimal(const char* p, uint64_t& value) noexcept;
// A "Content-Length" value: decimal digits, blanks after them allowed; false for anything
// else.
bool ParseContentLength(const char* text, uint64_t& out) noexcept;
// Marks the connection closed (and closes it) so that the next request reconnects.
void DropConnection(HttpClientSession& s) noexcept;
// The status code, the pending response head read first. A head that fails to come leaves
// it 0; an error status keeps its code beside its failure.
Answer ResultCode(HttpClientSession& s) noexcept;
int32_t ContentClass(HttpClientSession& s) noexcept;
int32_t ContentEncoding(HttpClientSession& s) noexcept;
// The session's connection opened again; on failure the session is released.
Status Reconnect(HttpClientSession& s) noexcept;
Status FollowRedirect(HttpClientSession& s, const char* location) noexcept;
Status OpenTunnel(HttpClientSession& s) noexcept;
// The CONNECT through the proxy with the socket window held off and TLS off meanwhile.
Status TunnelThenTls(HttpClientSession& s) noexcept;
Status Disconnect(HttpClientSession& s) noexcept;
// The number of CRs inserted.
Result<int32_t> ConvertLineEnds(HttpClientSession& s, const char* data, uint32_t length, char** out,
                                uint32_t* outLength, uint32_t* last) noexcept;
// The proxy of the system's settings for a target (HttpGetWindowsProxy): 1 found, 0 none,
// -1 when the settings name no server; a failed discovery is the status beside it.
Answer WindowsProxy(const char* host, uint32_t port, uint32_t flags, HttpProxyInfo* info) noexcept;
// A date of HttpParseDate: seconds since 1970 and the zone's offset.
Status ParseDate(const char* text, uint32_t local, uint32_t* seconds, int32_t* zone) noexcept;
// The percent or Base64 coding of HttpEncodeText: the length written.
Result<int32_t> EncodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size) noexcept;
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
// cancel stop the loop.
Status InflateBlock(HttpClientSession* s, const void* data, uint32_t length, uint64_t limit, bool cut,
                    plat::HGLOBAL* result, uint32_t* resultLength) noexcept;
Status InflateFile(HttpClientSession& s, const char* fileName, bool text) noexcept;

// ---- TLS (http_tls.cpp) ----
Status TlsCreateCredentials(HttpClientSession& s) noexcept;
Status TlsHandshake(HttpClientSession& s) noexcept;
// The handshake and the certificate check; a certificate that does not validate is kept
// for the security information, not a failure.
Status StartTls(HttpClientSession& s) noexcept;
Status TlsVerifyServer(HttpClientSession& s) noexcept;
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
