#pragma once
// The SMTP client library's C-style interface: session handles bound to their creating
// thread (unless free-threaded), the error in the library's per-thread last error. The
// protocol functions return the last reply code, or -1. Strings are UTF-8.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "platform/base/heap.h"
#include "platform/types.h"
#include "smtp/smtp_bits.h"
#include "smtp/smtp_session.h"

// Progress of the message being sent (filled for the caller).
struct SmtpTransferStatus {
  uint32_t total;    // sum of the lengths handed to the data sender, never below copied
  uint32_t copied;   // input bytes sent so far
  uint32_t rate;     // bytes per second; 0 during the first second
  uint32_t elapsed;  // whole seconds since MAIL FROM (up to the end of data)
  uint32_t left;     // seconds; 3600 when unknown, 0 during the first second
};

// Library frame.
void SmtpProcessAttach(void* module);
void SmtpProcessDetach();
int32_t SmtpAttach(LibVersionInfo* info);  // 1, or 0 with the last error
void SmtpDetach();
uint32_t SmtpIsInitialized();
void SmtpLock();
void SmtpUnlock();
void SmtpSetLastError(uint32_t code);
uint32_t SmtpGetLastError();
uint32_t SmtpSetSocketError();
uint32_t SmtpGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null
LibHandle SmtpAllocSession();
void SmtpFreeSession(LibHandle handle);
SmtpSession* SmtpGetSession(LibHandle handle);
SmtpSession* SmtpFindSession(LibHandle handle);
uint32_t SmtpSetHandleOwner(LibHandle handle, uint32_t threadId);
SmtpSession* SmtpFindSessionBySocket(SOCKET socket);

// Connection. port 0: 25, or 465 with implicit TLS; timeout 0: 20 seconds; ehloDomain
// null or empty: the local host's name (or address literal).
LibHandle SmtpConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const char* ehloDomain, const SecCredentials* credentials);
LibHandle SmtpConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options, const char* ehloDomain,
                      const SecCredentials* credentials);
int32_t SmtpGetExtensions(LibHandle handle, uint32_t* bits);  // 1, or 0 with 0x80042FBC
int32_t SmtpAuthenticate(LibHandle handle, uint32_t method, const char* user, const char* password);
int32_t SmtpDisconnect(LibHandle handle);
int32_t SmtpReconnect(LibHandle handle);
int32_t SmtpCommand(LibHandle handle, const char* command, const char* argument);
int32_t SmtpReadReply(LibHandle handle);
int32_t SmtpSendHello(LibHandle handle);
// The last reply's lines joined by blanks (without the codes).
const char* SmtpGetReplyText(LibHandle handle);
// Base64 of input into output (256 characters); the length, or -1 with 0x80042727.
int32_t SmtpEncodeBase64(const char* input, uint32_t length, char* output);
// The bare address of text into buffer (128 bytes): its length, or -1 with the mail
// message library's error.
int32_t SmtpParseAddress(const char* text, char* buffer);

// Sending.
int32_t SmtpSendMessage(LibHandle handle, const char* sender, const char* recipients, const void* message,
                        uint32_t length, uint16_t source);
int32_t SmtpSetDsnOptions(LibHandle handle, uint32_t options);  // 1, or 0
int32_t SmtpGetTransferStatus(LibHandle handle, SmtpTransferStatus* status);  // any thread
int32_t SmtpMailFrom(LibHandle handle, const char* sender, uint32_t size);
int32_t SmtpRcptTo(LibHandle handle, const char* recipients);
int32_t SmtpSendData(LibHandle handle, plat::HGLOBAL block, uint32_t length);
int32_t SmtpWriteData(LibHandle handle, const char* data, uint32_t length);
int32_t SmtpEndData(LibHandle handle);
int32_t SmtpReset(LibHandle handle);
// Sets the cancel flag from any thread: a running wait or transfer stops with
// cvErrorOperationCanceled.
int32_t SmtpCancel(LibHandle handle);

// Events: wParam the session handle, lParam MAKELONG(event, low word of the error).
int32_t SmtpRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask);
int32_t SmtpRegisterWindow(LibHandle handle, HWND window, UINT message);  // every event
int32_t SmtpSetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter);
int32_t SmtpUnregisterMailEvents(LibHandle handle);
int32_t SmtpSelectEvents(LibHandle handle, HWND window, UINT message);
int32_t SmtpFreezeEvents(LibHandle handle, uint32_t freeze);
LRESULT SmtpFireMailEvent(LibHandle handle, uint32_t event, uint32_t error);
LRESULT NotifySmtpWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// TLS of a session.
int32_t SmtpTlsCreateCredentials(LibHandle handle);
int32_t SmtpTlsHandshake(LibHandle handle);
int32_t SmtpTlsVerifyServer(LibHandle handle);
int32_t SmtpTlsShutdown(LibHandle handle);
int32_t SecSmtpHandshakeLoop(LibHandle handle, int32_t readFirst);
int32_t SecSmtpReceive(LibHandle handle, char* buffer, int32_t size);
int32_t SecSmtpSend(LibHandle handle, const char* data, int32_t length);
int32_t SmtpGetSecurityInfo(LibHandle handle, SecSessionInfo* info);
