#pragma once
// The operations the POP3 client control adds to the POP3 library: a connect that can
// complete asynchronously against a notification window, raw reads and writes, timeout and
// readiness queries, the session state and reply text, header fields and the sender of a
// message (with the XTND XLST and XSENDER extensions where the server has them), message
// submission with XTND XMIT, and the local address of a session.
#include <cstdint>

#include "pop3/pop3.h"

inline constexpr uint32_t kPop3ResultStringSize = 256;  // Pop3GetResultString's buffer
inline constexpr uint32_t kPop3SenderSize = 128;        // Pop3GetMessageSender's buffer

// The connect with a notification window (null: as the plain Pop3Connect). With a window
// (message 1024 or above) the socket reports to it, every library event goes to it, and a
// connect still in progress returns the handle at once in state 2; event 1 follows with the
// outcome once the greeting (and TLS) is done.
LibHandle Pop3Connect(const char* host, uint32_t port, uint32_t timeout, uint32_t options,
                      const SecCredentials* credentials, HWND window, UINT message);

int32_t Pop3EnableTrace(const char* file, int32_t flags);
int32_t Pop3DisableTrace();

// The last status line after its status word (a pending one is read first) into a buffer of
// kPop3ResultStringSize characters. Its length, or -1.
int32_t Pop3GetResultString(LibHandle handle, char* buffer);

// Bytes stored, 0 at the end of a multi-line response (or for a size of 0), or -1.
int32_t Pop3Read(LibHandle handle, char* buffer, int32_t size);
// Bytes sent, or -1. Refused while a status line or a multi-line response is pending.
int32_t Pop3Write(LibHandle handle, const char* data, int32_t size);

int32_t Pop3GetTimeout(LibHandle handle);                   // seconds, or -1
int32_t Pop3SetTimeout(LibHandle handle, uint32_t seconds);  // at most 600; 0, or -1

// Any thread: 1 while a blocking operation runs, else 0 (an unknown handle too).
int32_t Pop3IsBlocked(LibHandle handle);
// 1 when data can be read within 250 milliseconds, else 0.
int32_t Pop3IsReadable(LibHandle handle);
// 1 when the socket can be written to at once, else 0.
int32_t Pop3IsWritable(LibHandle handle);
// Marks the answer of a command sent with Pop3SendCommand as a multi-line response.
int32_t Pop3BeginMultiLine(LibHandle handle);
// Any thread: the session state, or -1.
int32_t Pop3GetState(LibHandle handle);

// The value of a header field of a message into buffer (size bytes, terminator included).
// The length of the value, 0 when the message has no such field, or -1.
int32_t Pop3GetHeaderValue(LibHandle handle, uint32_t message, const char* name, char* buffer, uint32_t size);
// The sender address of a message into buffer (kPop3SenderSize characters, may be null).
// Its length, or -1.
int32_t Pop3GetMessageSender(LibHandle handle, uint32_t message, char* buffer);
// The header block of a message (TOP n 0) as a global memory block the caller frees.
int32_t Pop3GetHeaders(LibHandle handle, uint32_t message, plat::HGLOBAL* block, uint32_t* length);
// Submits a message with XTND XMIT; length 0 takes the text's length. 0, or -1.
int32_t Pop3SendMessage(LibHandle handle, const char* text, uint32_t length);

// The local address of the session's connection, or (no session or no socket yet) the first
// address of the local host name for the family hint (0: IPv4, or IPv6 for a session with
// the IPv6-only option). address and port may be null. The family, or -1.
int32_t Pop3GetLocalAddress(LibHandle handle, uint32_t family, SockAddress* address, uint32_t* port);
