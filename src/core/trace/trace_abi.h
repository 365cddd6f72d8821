#pragma once
// The entry points a trace library offers, shared by the core (which binds them) and the
// stand-in trace library under tools/cvtrace (which exports them). Entries are numbered;
// each number has an exported C name. Every socket hook receives the call's result
// followed by the call's arguments in their order.
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/net/wsa_types.h"
#include "platform/types.h"

namespace cvtrace {

// DllGetVersion's record: 20 bytes.
struct DllVersionInfo {
  uint32_t cbSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformID;
};
static_assert(sizeof(DllVersionInfo) == 20);

inline constexpr const char* kVersionEntry = "DllGetVersion";
inline constexpr uint32_t kRequiredMajor = 9;
inline constexpr uint32_t kRequiredMinor = 5;
inline constexpr uint32_t kMinimumBuild = 9530;

// Kinds of the write entry: a text line (length 0) carries the caller's flags; 4 is a
// block of data to be dumped.
inline constexpr int32_t kFlagHexDump = 4;

using GetVersionFn = HRESULT (*)(DllVersionInfo*);
using StopFn = int32_t (*)(int32_t reserved);
using StartFn = int32_t (*)(const char* file, int32_t flags);
using InitializeFn = void (*)(int (*getLastError)(), void (*setLastError)(int));
using WriteFn = int32_t (*)(int32_t kind, const void* data, int32_t length);

using AcceptHook = void (*)(SOCKET result, SOCKET s, const sockaddr* address, const int32_t* length);
using BindHook = void (*)(int result, SOCKET s, const sockaddr* address, int32_t length);
using CloseHook = void (*)(int result, SOCKET s);
using ConnectHook = void (*)(int result, SOCKET s, const sockaddr* address, int32_t length);
using LookupHook = void (*)(int result, const char* node, const char* service, const addrinfo* hints,
                            addrinfo* const* list);
using GetHostNameHook = void (*)(int result, const char* buffer, int32_t size);
using GetSockNameHook = void (*)(int result, SOCKET s, const sockaddr* address, const int32_t* length);
using GetSockOptHook = void (*)(int result, SOCKET s, int32_t level, int32_t option, const char* value,
                                const int32_t* length);
using IoctlHook = void (*)(int result, SOCKET s, int32_t command, const uint32_t* argument);
using ListenHook = void (*)(int result, SOCKET s, int32_t backlog);
using RecvHook = void (*)(int result, SOCKET s, const char* buffer, int32_t length, int32_t flags);
using SelectHook = void (*)(int result, int32_t nfds, const plat::FdSet* readSet, const plat::FdSet* writeSet,
                            const plat::FdSet* errorSet, const plat::TimeVal* timeout);
using SendHook = void (*)(int result, SOCKET s, const char* buffer, int32_t length, int32_t flags);
using SetSockOptHook = void (*)(int result, SOCKET s, int32_t level, int32_t option, const char* value,
                                int32_t length);
using SocketHook = void (*)(SOCKET result, int32_t family, int32_t type, int32_t protocol);
using AsyncSelectHook = void (*)(int result, SOCKET s, HWND window, uint32_t message, int32_t events);
using EnumNetworkEventsHook = void (*)(int result, SOCKET s, const void* event, const plat::WsaNetworkEvents* events);
using EventSelectHook = void (*)(int result, SOCKET s, const void* event, int32_t events);

// Entry numbers and their exported names.
enum Entry : int {
  kStop = 2,
  kStart = 3,
  kInitialize = 7,
  kWrite = 10,
  kAccept = 11,
  kBind = 12,
  kClose = 13,
  kConnect = 14,
  kLookup = 15,
  kGetHostName = 16,
  kGetSockName = 19,
  kGetSockOpt = 20,
  kIoctl = 21,
  kListen = 22,
  kRecv = 23,
  kSelect = 25,
  kSend = 26,
  kSetSockOpt = 28,
  kSocket = 30,
  kAsyncSelect = 32,
  kEnumNetworkEvents = 33,
  kEventSelect = 34,
};

struct EntryName {
  Entry entry;
  const char* name;
};

inline constexpr EntryName kEntryNames[] = {
    {kStop, "cvtrace_stop"},
    {kStart, "cvtrace_start"},
    {kInitialize, "cvtrace_initialize"},
    {kWrite, "cvtrace_write"},
    {kAccept, "cvtrace_accept"},
    {kBind, "cvtrace_bind"},
    {kClose, "cvtrace_closesocket"},
    {kConnect, "cvtrace_connect"},
    {kLookup, "cvtrace_getaddrinfo"},
    {kGetHostName, "cvtrace_gethostname"},
    {kGetSockName, "cvtrace_getsockname"},
    {kGetSockOpt, "cvtrace_getsockopt"},
    {kIoctl, "cvtrace_ioctlsocket"},
    {kListen, "cvtrace_listen"},
    {kRecv, "cvtrace_recv"},
    {kSelect, "cvtrace_select"},
    {kSend, "cvtrace_send"},
    {kSetSockOpt, "cvtrace_setsockopt"},
    {kSocket, "cvtrace_socket"},
    {kAsyncSelect, "cvtrace_WSAAsyncSelect"},
    {kEnumNetworkEvents, "cvtrace_WSAEnumNetworkEvents"},
    {kEventSelect, "cvtrace_WSAEventSelect"},
};

inline constexpr int kLastEntry = 34;

}  // namespace cvtrace
