#pragma once
// SockGetFullHostName and the other local-name helpers live in netnames.
#include "mail/names/netnames.h"
// The POP3 client library's C-style interface: session handles bound to their creating
// thread (unless free-threaded), integer results, the error in the library's per-thread
// last error. Strings are UTF-8. The command sender answers 1 for "+OK" and 0 for "-ERR"
// (last error 0) or for a failure (last error set).
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "platform/base/heap.h"
#include "platform/types.h"
#include "pop3/pop3_bits.h"
#include "pop3/pop3_session.h"

// Progress of a message read (filled for the caller).
// Receives the text of a message read by read (Pop3RetrieveMessageTo, ImapRetrieveMessageTo).
using MailTextSink = void (*)(void* context, const char* text, uint32_t length);

struct MessageTransferStatus {
  uint32_t message;  // number of the message being read
  uint32_t size;     // never below copied
  uint32_t copied;
  uint32_t rate;     // bytes per second; 0 during the first second
  uint32_t elapsed;  // whole seconds
  uint32_t left;     // seconds; 3600 when unknown
};

// Library frame.
void Pop3ProcessAttach(void* module);
void Pop3ProcessDetach();
int32_t Pop3Attach(LibVersionInfo* info);  // 1, or 0 with the last error
void Pop3Detach();
uint32_t Pop3IsInitialized();
void Pop3Lock();
void Pop3Unlock();
void Pop3SetLastError(uint32_t code);
uint32_t Pop3GetLastError();
uint32_t Pop3SetSocketError();
uint32_t Pop3GetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null
LibHandle Pop3AllocSession();
void Pop3FreeSession(LibHandle handle);
Pop3Session* Pop3GetSession(LibHandle handle);
Pop3Session* Pop3FindSession(LibHandle handle);
uint32_t Pop3SetHandleOwner(LibHandle handle, uint32_t threadId);
Pop3Session* Pop3FindSessionBySocket(SOCKET socket);

// Connection. port 0: 110, or 995 with implicit TLS; timeout 0: 20 seconds.
LibHandle Pop3ConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const SecCredentials* credentials);
LibHandle Pop3Connect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials);
int32_t Pop3Disconnect(LibHandle handle);
int32_t Pop3Login(LibHandle handle, uint32_t method, const char* user, const char* password);  // 0 USER/PASS, 1 APOP
int32_t Pop3SendCommand(LibHandle handle, const char* command, const char* argument);
int32_t Pop3ReadReply(LibHandle handle);
// Bytes stored, 0 at the end of a multi-line response, or -1.
int32_t Pop3ReadData(LibHandle handle, char* buffer, int32_t size);
// The buffered count, or -1.
int32_t Pop3FillReceiveBuffer(LibHandle handle);
// Sets the cancel flag of a session from any thread; its running wait stops with
// cvErrorOperationCanceled.
int32_t Pop3Cancel(LibHandle handle);
// The text of the last status line after its status word.
const char* Pop3GetReplyText(LibHandle handle);

// Events: message 2025-style notifications (wParam handle, lParam MAKELONG(event, error)).
int32_t Pop3RegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask);
int32_t Pop3RegisterWindow(LibHandle handle, HWND window, UINT message);  // every event
int32_t Pop3SetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter);
int32_t Pop3DisableEvents(LibHandle handle);
int32_t Pop3UnregisterMailEvents(LibHandle handle);
int32_t Pop3SelectEvents(LibHandle handle, HWND window, UINT message);
int32_t Pop3FreezeEvents(LibHandle handle, uint32_t freeze);
LRESULT Pop3FireMailEvent(LibHandle handle, uint32_t event, uint32_t error);
LRESULT NotifyPop3WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// TLS of a session.
int32_t Pop3TlsCreateCredentials(LibHandle handle);
int32_t Pop3TlsHandshake(LibHandle handle);
int32_t Pop3TlsVerifyServer(LibHandle handle);
int32_t Pop3TlsShutdown(LibHandle handle);
int32_t SecPop3HandshakeLoop(LibHandle handle, int32_t readFirst);
int32_t SecPop3Receive(LibHandle handle, char* buffer);  // 4,096 bytes at most
int32_t SecPop3Send(LibHandle handle, const char* data, int32_t length);
int32_t Pop3GetSecurityInfo(LibHandle handle, SecSessionInfo* info);

// Local host name and address.
int32_t Pop3GetLocalAddress(LibHandle handle, SockAddress* address);

// Mailbox and messages.
int32_t Pop3GetMessageCount(LibHandle handle);
int32_t Pop3GetMailboxStatus(LibHandle handle, uint32_t* lastMessage, uint32_t* size);
int32_t Pop3GetMessageSize(LibHandle handle, uint32_t message);
int32_t Pop3GetMessageUid(LibHandle handle, uint32_t message, char* buffer, uint32_t size);
int32_t Pop3DeleteMessage(LibHandle handle, uint32_t message);
int32_t Pop3Reset(LibHandle handle);
int32_t Pop3OpenMessage(LibHandle handle, uint32_t message, uint32_t flags);
int32_t Pop3CloseMessage(LibHandle handle);
// buffer: the caller's buffer when *length > 0, else an HGLOBAL* that receives the text.
int32_t Pop3RetrieveMessage(LibHandle handle, uint32_t message, void* buffer, uint32_t* length, uint32_t flags);
// Reads a message as Pop3RetrieveMessage does (the same commands, reads, progress events
// and size bound) but hands its text to the sink read by read instead of collecting it;
// *size receives the bytes read. The sink must not call back into this session.
int32_t Pop3RetrieveMessageTo(LibHandle handle, uint32_t message, uint32_t flags, MailTextSink sink, void* context,
                              uint32_t* size);
int32_t Pop3StoreMessage(LibHandle handle, uint32_t message, const char* fileName);
int32_t Pop3GetTransferStatus(LibHandle handle, MessageTransferStatus* status);
int32_t Pop3ChangePassword(LibHandle handle, const char* user, const char* oldPassword, const char* newPassword);
