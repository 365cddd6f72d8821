#pragma once
// The HTTP client library's C-style interface: handles, integer results, and the error in
// the library's per-thread last error. Strings are UTF-8.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "http/http_session.h"
#include "platform/base/heap.h"
#include "platform/types.h"

struct SecCredentials;
struct SockAddress;

// Library frame.
void HttpProcessAttach(void* module);
void HttpProcessDetach();
int32_t HttpAttach(LibVersionInfo* info);  // 1 success, 0 failure
void HttpDetach();
uint32_t HttpIsInitialized();
void HttpLock();
void HttpUnlock();
void HttpSetLastError(uint32_t code);
uint32_t HttpGetLastError();
uint32_t HttpSetSocketError();
uint32_t HttpGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null

// Sessions.
LibHandle HttpAllocSession();
void HttpFreeSession(LibHandle handle);
HttpClientSession* HttpGetSession(LibHandle handle);
HttpClientSession* HttpFindSession(LibHandle handle);
uint32_t HttpSetHandleOwner(LibHandle handle, uint32_t threadId);
HttpClientSession* HttpFindSessionBySocket(SOCKET socket);
LibHandle HttpFindSessionByWindow(HWND window);

// Connecting. host may be a URL; version is major << 16 | minor.
LibHandle HttpConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                      SecCredentials* credentials);
LibHandle HttpProxyConnect(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort, const char* proxyUser,
                           const char* proxyPassword, const char* host, uint32_t port, uint32_t timeout,
                           uint32_t options, uint32_t version, SecCredentials* credentials);
LibHandle HttpOpenConnection(const char* host, uint32_t port, uint32_t timeout, uint32_t options, uint32_t version,
                             SecCredentials* credentials, HWND window, UINT message);
LibHandle HttpOpenProxyConnection(uint32_t proxyType, const char* proxyHost, uint32_t proxyPort,
                                  const char* proxyUser, const char* proxyPassword, const char* host, uint32_t port,
                                  uint32_t timeout, uint32_t options, uint32_t version, SecCredentials* credentials,
                                  HWND window, UINT message);
int32_t HttpDisconnect(LibHandle handle);
int32_t HttpOpenTunnel(LibHandle handle);  // 1 or 0
int32_t HttpReconnect(LibHandle handle);
int32_t HttpFollowRedirect(LibHandle handle, const char* location);

// Requests.
int32_t HttpSendRequest(LibHandle handle, const char* method, const char* resource, const void* data,
                        uint32_t length, uint32_t flags);
int32_t HttpEndRequest(LibHandle handle);
int32_t HttpGetResultCode(LibHandle handle);
int32_t HttpGetResultString(LibHandle handle, char* buffer);  // buffer of 2,048 characters
int32_t HttpSetAuthentication(LibHandle handle, uint32_t type, const char* user, const char* password);

// Header lists (0 request, 1 response) and the response head.
int32_t HttpFindHeader(LibHandle handle, uint32_t list, const char* name, char* buffer, uint32_t* size);
int32_t HttpSetHeader(LibHandle handle, uint32_t list, const char* name, const char* value);
int32_t HttpClearHeaders(LibHandle handle, uint32_t list);
int32_t HttpGetRequestHeader(LibHandle handle, const char* name, char* buffer, uint32_t size);
int32_t HttpSetRequestHeader(LibHandle handle, const char* name, const char* value);
int32_t HttpGetResponseHeader(LibHandle handle, const char* name, char* buffer, uint32_t size);
int32_t HttpSetRange(LibHandle handle, uint64_t offset);
int32_t HttpReadResponse(LibHandle handle);
uint32_t HttpStatusToError(int32_t status);
int32_t HttpGetContentClass(LibHandle handle);

// Content decoding.
int32_t HttpGetContentEncoding(LibHandle handle);
int32_t HttpInflateData(plat::HGLOBAL block, uint32_t length, plat::HGLOBAL* result, uint32_t* resultLength);
int32_t HttpInflateFile(LibHandle handle, const char* fileName, uint32_t text);

// Events.
using HttpEventCallback = cvcore::NotifyCallback;
int32_t HttpRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask);
int32_t HttpRegisterWindow(LibHandle handle, HWND window, UINT message);
int32_t HttpUnregisterEvents(LibHandle handle);
int32_t HttpSetProgressCallback(LibHandle handle, HttpEventCallback callback, uintptr_t parameter);
LRESULT HttpFireEvent(LibHandle handle, uint32_t event, uint32_t error);
int32_t HttpFreezeEvents(LibHandle handle, uint32_t freeze);
int32_t HttpSelectEvents(LibHandle handle, HWND window, UINT message);
int32_t HttpHoldOtherSessions(LibHandle handle, uint32_t hold);
LRESULT HttpNotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Connection I/O and transfer control.
struct HttpTransferStatus {
  uint64_t total;
  uint64_t copied;
  uint32_t rate;       // bytes per second
  uint32_t elapsed;    // seconds, or milliseconds with option 0x1000000
  uint32_t remaining;  // same unit
};
int32_t HttpRecv(LibHandle handle, char* buffer, int32_t length);
int32_t HttpSend(LibHandle handle, const char* buffer, int32_t length);
int32_t HttpCancel(LibHandle handle);
int32_t HttpIsBlocked(LibHandle handle);
int32_t HttpGetTimeout(LibHandle handle);
int32_t HttpSetTimeout(LibHandle handle, uint32_t seconds);
int32_t HttpGetPriority(LibHandle handle);
int32_t HttpSetPriority(LibHandle handle, uint32_t priority);
int32_t HttpSetCompression(LibHandle handle, uint32_t enable);
int32_t HttpGetTransferStatus(LibHandle handle, HttpTransferStatus* status);
int32_t HttpGetTransferStatus32(LibHandle handle, uint32_t* status);  // five values

// Transfer operations.
// A body announced longer than a memory block can hold (4 GiB) fails with
// cvErrorOutOfMemory before any of it is read.
int32_t HttpRetrieveData(LibHandle handle, const char* resource, plat::HGLOBAL* block, uint32_t* length,
                         uint32_t options);
// With an offset, the answer must be the rest of the resource from that offset (206 with
// one "Content-Range" starting there, consistent with its length and total, not coded) or
// the whole resource (200, which replaces the file); anything else fails with
// cvErrorInvalidContentRange and leaves the local file as it was.
int32_t HttpRetrieveFile(LibHandle handle, const char* localFile, const char* resource, uint32_t options,
                         uint64_t offset);
int32_t HttpQueryFileSize(LibHandle handle, const char* resource, uint64_t* size);
int32_t HttpQueryFileSize32(LibHandle handle, const char* resource, uint32_t* size);
int32_t HttpGetFileTime(LibHandle handle, const char* resource, SYSTEMTIME* time, uint32_t localTime);
int32_t HttpStoreData(LibHandle handle, const char* resource, const void* data, uint32_t length);
int32_t HttpStoreFile(LibHandle handle, const char* localFile, const char* resource, uint32_t options,
                      uint64_t offset);
int32_t HttpPutBegin(LibHandle handle, const char* resource, uint64_t length, uint64_t offset);
int32_t HttpPutBegin32(LibHandle handle, const char* resource, uint32_t length);
int32_t HttpPostData(LibHandle handle, const char* resource, const void* data, uint32_t length,
                     plat::HGLOBAL* block, uint32_t* resultLength, uint32_t options);
int32_t HttpPostJson(LibHandle handle, const char* resource, const char* json, plat::HGLOBAL* block,
                     uint32_t* resultLength, uint32_t options);
int32_t HttpPostXml(LibHandle handle, const char* resource, const char* xml, plat::HGLOBAL* block,
                    uint32_t* resultLength, uint32_t options);
int32_t HttpPostFile(LibHandle handle, const char* localFile, const char* resource, const char* fieldName,
                     uint32_t options);
int32_t HttpRemoveFile(LibHandle handle, const char* resource);
int32_t HttpVerifyFile(LibHandle handle, const char* localFile, const char* resource, uint32_t method);

// Text helpers.
int32_t HttpParseDate(const char* text, uint32_t local, uint32_t* seconds, int32_t* zone);
void HttpDateToSystemTime(uint32_t seconds, SYSTEMTIME* time);
int32_t HttpUrlNeedsEncoding(const char* text, uint32_t length);
int32_t HttpEncodeText(uint32_t mode, const char* input, int32_t length, char* output, int32_t size);
int32_t HttpContentTypeClass(const char* type);
int32_t HttpGetContentType(const char* fileName, char* buffer);  // buffer of 128 characters
int64_t HttpReadChunkSize(LibHandle handle);  // the size (32 bits), 0 at the end, -1
int32_t SockFormatAddress(const SockAddress* address, char* buffer);  // buffer of 64 characters
int32_t HttpGetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address);
const char* HttpGetUserAgent();
int32_t HttpConvertLineEnds(LibHandle handle, const char* data, uint32_t length, char** out, uint32_t* outLength,
                            uint32_t* last);
int32_t HttpIsValidUrl(const char* text);  // 1 when it parses and its host resolves

// TLS session information (the SecSessionInfo record of the TLS binding).
struct SecSessionInfo;
int32_t HttpGetSecurityInfo(LibHandle handle, SecSessionInfo* info);  // 1 or 0

// Background tasks. A task runs one operation on a worker thread with a session of its
// own (copying the settings of the given session, or from a URL alone when the handle is
// all bits set) and reports begin (1), progress (128) and end (2) through the callback.
inline constexpr uint32_t kHttpTaskNameSize = 5120;
struct HttpTaskRequest {
  uint32_t opcode;                // 1 get file ... 8 form post
  LibHandle session;              // whose settings are copied, or all bits set
  LibHandle form;                 // opcode 8
  uint32_t options;
  uint32_t dataLength;            // opcodes 4 and 5
  uint32_t* length;               // result length in/out (2, 5, 6, 7, 8)
  void* data;                     // data to send (4, 5) or the caller's plat::HGLOBAL* (2, 6, 7, 8)
  plat::HGLOBAL* resultBlock;     // opcode 5
  char* text;                     // JSON or XML text (6, 7), owned by the request (malloc)
  uint64_t offset;                // opcodes 1 and 3
  HttpEventCallback eventCallback;
  uintptr_t callbackParameter;
  char firstName[kHttpTaskNameSize];   // the local file for opcodes 1 and 3, else the resource
  char secondName[kHttpTaskNameSize];  // the resource for opcodes 1 and 3
};
inline constexpr uint32_t kHttpTaskGetFile = 1, kHttpTaskGetData = 2, kHttpTaskPutFile = 3, kHttpTaskPutData = 4,
                          kHttpTaskPostData = 5, kHttpTaskPostJson = 6, kHttpTaskPostXml = 7,
                          kHttpTaskPostForm = 8;

// Task ids, or 0 with the error. callback receives (task session or -1, event, error, parameter).
uint32_t HttpAsyncGetFile(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter);
uint32_t HttpAsyncPutFile(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter);
uint32_t HttpStartGetTask(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter);
uint32_t HttpStartPutTask(LibHandle handle, const char* localFile, const char* resource, uint64_t offset,
                          HttpEventCallback callback, uintptr_t parameter);
// Starts a task for a request built by the caller (allocated with HttpNewTaskRequest, taken
// over in every case); the task id or 0.
HttpTaskRequest* HttpNewTaskRequest();
uint32_t HttpStartTask(HttpTaskRequest* request);
// 1 when the worker has already ended, else 0 (cvErrorInvalidTask, cvErrorTaskFinished,
// cvErrorThreadDeadlock set).
int32_t HttpTaskAbort(uint32_t id);
// status: five values (size, copied, rate, elapsed, remaining) or null. 4 finished,
// 2 suspended, 1 running, -1.
int32_t HttpGetTaskStatus(uint32_t id, uint32_t* status);
int32_t HttpTaskWait(uint32_t id, uint32_t timeoutMs, uint32_t* elapsed, uint32_t* result);
int32_t HttpTaskWaitAll(const uint32_t* ids, int32_t count, uint32_t timeoutMs);
int32_t HttpTaskSuspend(uint32_t id);
int32_t HttpTaskResume(uint32_t id);
uint32_t HttpTaskIsDone(uint32_t id);
uint32_t HttpTaskGetError(uint32_t id);
uint32_t HttpTaskIdFromSession(LibHandle handle);
uint32_t HttpTaskListRunning(uint32_t* ids);  // ids[128] or null

// Multipart forms (created through the library's internal form interface).
int32_t HttpFormCompose(LibHandle form, plat::HGLOBAL* data, uint32_t* length);  // fields, or -1
int32_t HttpFormPost(LibHandle handle, LibHandle form, plat::HGLOBAL* block, uint32_t* length, uint32_t options);
void HttpFormFreeAll();

// Proxy configuration of the system.
struct HttpProxyInfo {
  uint32_t type;  // 0 none, 1 HTTP proxy, 2 tunnel
  uint32_t port;
  char host[256];
};
static_assert(sizeof(HttpProxyInfo) == 264);
inline constexpr uint32_t kHttpProxyMachine = 1, kHttpProxyAutomatic = 2;
int32_t HttpGetWindowsProxy(const char* host, uint32_t port, uint32_t flags, HttpProxyInfo* info);  // 1, 0, -1
int32_t HttpDiscoverProxy(const char* host, uint32_t port, HttpProxyInfo* info);
int32_t HttpGetAutoConfigUrl(char* buffer, uint32_t flags);  // buffer of 5,120 characters
int32_t HttpHostBypassesProxy(const char* host, const char* list);
