#pragma once
// Initialisation, tracing and error reporting the server controls share. C is the
// control's ServerControl base (which befriends this template); Lib names what differs:
//   static constexpr DISPID kEventOnError;
//   static bool StartTrace(const char* file, int32_t flags);
//   static uint32_t GetLastError(uint64_t server);
#include <cstdint>
#include <string>

#include "core/errors/error_codes.h"
#include "core/trace/trace.h"
#include "ocx/server_control_helpers.h"
#include "ocx/variant_args.h"
#include "sockets/inet.h"

namespace ocx {

template <class C, class Lib>
struct ServerFrameMembers {
  // Lazy initialisation for members that need the library; keeps the window target current.
  static HRESULT Init(C& c) {
    const HRESULT hr = c.AutoInitialize();
    c.notify_.window = c.Window();
    return hr;
  }

  static void StartTrace(C& c) {
    const std::string file = Utf16ToUtf8(c.s_.traceFile);
    c.s_.trace = Lib::StartTrace(file.c_str(), c.s_.traceFlags | kTraceProcess);
  }

  static void OnLibrariesAttached(C& c) {
    c.notify_.window = c.Window();
    if (c.s_.trace) c.StartTrace();
  }

  static void FireError(C& c, uint32_t code, BSTR text) {
    VARIANT client{}, number{}, description{};
    client.vt = VT_I4;
    client.lVal = int32_t(c.clientId_);
    number.vt = VT_I4;
    number.lVal = int32_t(code & 0xFFFFu);
    description.vt = VT_BSTR;
    description.bstrVal = text;  // borrowed: the firing copies it for each sink
    const VARIANT args[] = {client, number, description};
    c.FireEvent(Lib::kEventOnError, args, 3);
  }

  static HRESULT Raise(C& c, uint32_t code, bool returnFlag, bool fireFlag) {
    if (code == 0) code = Lib::GetLastError(c.server_.load());
    if (code == 0) return S_OK;
    if (code == cvErrorInvalidHandle && !c.Running()) code = cvErrorServerInactive;
    return c.RaiseError(code, returnFlag, fireFlag);
  }
};

// The server address and name settings, which need the library but no call of its own.
template <class C>
struct ServerNameMembers {
  // A text address in its canonical form; empty text or design mode leave the setting alone.
  static HRESULT PutServerAddress(C& c, BSTR value) {
    const std::u16string text = InText(value);
    if (text.empty() || !c.IsRunMode()) return S_OK;
    if (HRESULT hr = c.Init(); FAILED(hr)) return hr;
    SockAddress address{};
    char canonical[64] = {};
    if (InetParseAddress(Utf16ToUtf8(text).c_str(), 0, &address) <= 0 || InetFormatAddress(&address, canonical) <= 0)
      return c.Raise(InetGetLastError(), true, false);
    c.s_.serverAddress = Widen(canonical);
    return S_OK;
  }

  // The local host's full name unless one was set.
  static HRESULT GetServerName(C& c, BSTR* value) {
    if (c.s_.serverName.empty()) {
      if (HRESULT hr = c.Init(); FAILED(hr)) return hr;
      char name[128] = {};
      if (InetGetFullHostName(name, sizeof name) <= 0) return c.Raise(InetGetLastError(), true, false);
      c.s_.serverName = Widen(name);
    }
    return OutText(c.s_.serverName, value);
  }
};

}  // namespace ocx
