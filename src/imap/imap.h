#pragma once
// The IMAP4 client library's C-style interface: session handles bound to their creating
// thread (unless free-threaded; the session's IDLE thread is admitted too), integer
// results, the error in the library's per-thread last error. Strings are UTF-8.
// Commands answer the response id they read (1 OK, 4 continuation) or -1; a server's NO
// gives 0x80042FB6 and its BAD 0x80042FB9.
#include <cstdint>

#include "core/frame/lib_types.h"
#include "core/notify/notify_types.h"
#include "core/sock/sock.h"
#include "core/tls/sec_tls.h"
#include "imap/imap_bits.h"
#include "imap/imap_session.h"
#include "platform/base/heap.h"
#include "platform/types.h"
#include "pop3/pop3.h"  // MessageTransferStatus, shared with the POP3 library


// The state of the selected mailbox, filled by SELECT and EXAMINE.
struct ImapMailboxStatus {
  uint32_t messages;
  uint32_t recent;
  uint32_t unseen;
  uint32_t uidValidity;
  uint32_t uidNext;
  uint32_t mailboxFlags;    // the flags the FLAGS response names (mailFlag bits)
  uint32_t permanentFlags;  // mailFlag bits of PERMANENTFLAGS
  uint32_t readWrite;       // 1 read-write, 0 read-only
};

// Library frame.
void ImapProcessAttach(void* module);
void ImapProcessDetach();
int32_t ImapAttach(LibVersionInfo* info);  // 1, or 0 with the last error
void ImapDetach();
uint32_t ImapIsInitialized();
void ImapLock();
void ImapUnlock();
void ImapSetLastError(uint32_t code);
uint32_t ImapGetLastError();
uint32_t ImapSetSocketError();
uint32_t ImapGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null
LibHandle ImapAllocSession();
void ImapFreeSession(LibHandle handle);
// The owner thread, any thread of a free-threaded session, and the session's IDLE thread.
ImapSession* ImapGetSession(LibHandle handle);
ImapSession* ImapFindSession(LibHandle handle);
uint32_t ImapSetHandleOwner(LibHandle handle, uint32_t threadId);
ImapSession* ImapFindSessionBySocket(SOCKET socket);

// Session. port 0: 143, or 993 with implicit TLS; timeout 0: 20 seconds.
LibHandle ImapConnectServer(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                            const SecCredentials* credentials);
LibHandle ImapConnect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials);
int32_t ImapLogin(LibHandle handle, const char* user, const char* password);
int32_t ImapDisconnect(LibHandle handle);
int32_t ImapSendCommand(LibHandle handle, const char* command, const char* argument);
int32_t ImapReadResponse(LibHandle handle);
int32_t ImapParseResponse(LibHandle handle, const char* text, int32_t tagged);
// buffer of 8,192 bytes: bytes stored, 0 at the end of a literal, or -1.
int32_t ImapReadData(LibHandle handle, char* buffer);
int32_t ImapWriteData(LibHandle handle, const char* data, int32_t length);
int32_t ImapCancel(LibHandle handle);
int32_t ImapGetTransferStatus(LibHandle handle, MessageTransferStatus* status);
// The text after the keyword of the last response.
const char* ImapGetResponseText(LibHandle handle);
// The capability list of the server.
const char* ImapGetCapabilities(LibHandle handle);

// Text helpers. Each returns the length written (0 on failure: the buffer stays empty).
int32_t ImapQuoteString(const char* text, char* buffer, uint32_t size);   // size 128 is enough
int32_t ImapEscapeString(const char* text, char* buffer, uint32_t size);
// Whether word occurs in text as a whole word, case-insensitively.
int32_t ImapFindText(const char* text, const char* word);
uint32_t ImapParseFlagList(const char* text);
int32_t ImapFormatFlagList(uint32_t flags, char* buffer, uint32_t size);  // size 128

// Events.
int32_t ImapRegisterEvents(LibHandle handle, HWND window, UINT message, uint32_t mask);
int32_t ImapRegisterWindow(LibHandle handle, HWND window, UINT message);  // every event
int32_t ImapSetEventCallback(LibHandle handle, uint32_t event, cvcore::NotifyCallback callback, uintptr_t parameter);
int32_t ImapDisableEvents(LibHandle handle);
int32_t ImapUnregisterMailEvents(LibHandle handle);
int32_t ImapSelectEvents(LibHandle handle, HWND window, UINT message);
int32_t ImapFreezeEvents(LibHandle handle, uint32_t freeze);
LRESULT NotifyFireImapEvent(LibHandle handle, uint32_t event, uint32_t error);
LRESULT NotifyImapWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// TLS of a session.
int32_t SecImapShutdown(LibHandle handle);
int32_t SecImapVerifyServer(LibHandle handle);
int32_t ImapGetSecurityInfo(LibHandle handle, SecSessionInfo* info);

// Mailboxes.
int32_t ImapGetFirstMailbox(LibHandle handle, char* name, uint32_t* attributes);  // name of 256 bytes
int32_t ImapGetNextMailbox(LibHandle handle, char* name, uint32_t* attributes);
int32_t ImapSelectMailbox(LibHandle handle, const char* name, ImapMailboxStatus* status);
int32_t ImapOpenMailbox(LibHandle handle, const char* name, ImapMailboxStatus* status, uint32_t options);
int32_t ImapUnselectMailbox(LibHandle handle, int32_t expunge);
int32_t ImapCreateMailbox(LibHandle handle, const char* name);
int32_t ImapDeleteMailbox(LibHandle handle, const char* name);
int32_t ImapRenameMailbox(LibHandle handle, const char* oldName, const char* newName);
int32_t ImapCheckMailbox(LibHandle handle, uint32_t* messages, uint32_t* recent);
int32_t ImapSearchMailbox(LibHandle handle, const char* criteria, const char* charset, uint32_t* numbers,
                          int32_t capacity);
int32_t ImapGetMailboxSize(LibHandle handle, const char* name);
int32_t ImapEncodeMailboxName(const char* name, char* buffer);  // buffer of 512 bytes
int32_t ImapDecodeMailboxName(const char* name, char* buffer);  // buffer of 256 bytes

// Messages of the selected mailbox.
int32_t ImapGetMessageCount(LibHandle handle);
int32_t ImapCountMessages(LibHandle handle);
int32_t ImapGetMessageUid(LibHandle handle, uint32_t message);
int32_t ImapGetMessageFlags(LibHandle handle, uint32_t message, uint32_t* flags);
int32_t ImapStoreMessageFlags(LibHandle handle, uint32_t message, uint32_t mode, uint32_t flags);
int32_t ImapDeleteMessage(LibHandle handle, uint32_t message);
int32_t ImapUndeleteMessage(LibHandle handle, uint32_t message);
int32_t ImapOpenMessage(LibHandle handle, uint32_t message, uint32_t flags);
int32_t ImapCloseMessage(LibHandle handle);
// buffer: the caller's buffer when *length > 0, else an HGLOBAL* that receives the text.
int32_t ImapRetrieveMessage(LibHandle handle, uint32_t message, void* buffer, uint32_t* length, uint32_t flags);
// Reads a message as ImapRetrieveMessage does (the same commands, reads and progress
// events) but hands its text to the sink read by read instead of collecting it; *size
// receives the bytes read. The sink must not call back into this session.
int32_t ImapRetrieveMessageTo(LibHandle handle, uint32_t message, uint32_t flags, MailTextSink sink, void* context,
                              uint32_t* size);
int32_t ImapStoreMessage(LibHandle handle, uint32_t message, const char* fileName);
int32_t ImapAppendMessage(LibHandle handle, const char* mailbox, const char* data, uint32_t length, uint16_t flags);
int32_t ImapCopyMessage(LibHandle handle, uint32_t message, const char* mailbox);

// IDLE. The update callback is called on the IDLE thread for every update.
int32_t ImapSetUpdateCallback(LibHandle handle, ImapUpdateCallback callback);
int32_t ImapIdle(LibHandle handle, uint32_t timeout, uint32_t options, uintptr_t userData);
int32_t ImapEndIdle(LibHandle handle);
uint32_t ImapIdleThread(LibHandle handle);
int32_t ImapWaitIdleState(LibHandle handle, uint32_t state, uint32_t timeoutMs, uint32_t flags);
