// The methods of CInternetServer that act on one connection: reading, peeking and writing
// data, lines and bytes, and ending connections.
#include <vector>

#include "core/errors/error_codes.h"
#include "platform/base/utf.h"
#include "tcpsrv/extras/server_extras.h"
#include "tcpsrv/ocx/buffer_variant.h"
#include "tcpsrv/ocx/internet_server.h"
#include "tcpsrv/ocx/method_args.h"

namespace tcpsrvctl {
namespace {

constexpr int32_t kPeekCountSize = 8192;

// Writes everything; the bytes written, or -1 with the library's last error.
int32_t WriteAll(SOCKET h, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const int32_t n = InetWrite(h, data.data() + sent, int32_t(data.size() - sent));
    if (n < 0) return -1;
    sent += size_t(n);
  }
  return int32_t(sent);
}

// The byte of a WriteByte value, or E_INVALIDARG.
HRESULT ByteOf(const VARIANT& value, uint8_t* out) {
  const VARIANT* v = &value;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return E_INVALIDARG;
    v = v->pvarVal;
  }
  VARIANT plain;
  VariantInit(&plain);
  if (HRESULT hr = VariantCopyInd(&plain, v); FAILED(hr)) return E_INVALIDARG;
  HRESULT hr = S_OK;
  double number = -1;
  switch (plain.vt) {
    case VT_UI1: *out = plain.bVal; break;
    case VT_I1: *out = uint8_t(plain.cVal); break;
    case VT_I2: number = plain.iVal; break;
    case VT_I4: number = plain.lVal; break;
    case VT_R4: number = plain.fltVal; break;
    case VT_R8: number = plain.dblVal; break;
    case VT_BSTR:
      if (!plain.bstrVal || SysStringLen(plain.bstrVal) == 0) hr = E_INVALIDARG;
      else *out = uint8_t(plain.bstrVal[0] & 0xFF);
      break;
    default: hr = E_INVALIDARG; break;
  }
  if (plain.vt == VT_I2 || plain.vt == VT_I4 || plain.vt == VT_R4 || plain.vt == VT_R8) {
    if (number < 0 || number > 255) hr = E_INVALIDARG;
    else *out = uint8_t(number);
  }
  VariantClear(&plain);
  return hr;
}

// The text of a WriteLine buffer: booleans as the words True and False.
HRESULT LineText(const VARIANT& buffer, std::string* out) {
  out->clear();
  if (ocx::IsMissingArgument(buffer)) return S_OK;
  const VARIANT* v = &buffer;
  if (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return E_INVALIDARG;
    v = v->pvarVal;
  }
  if (v->vt & VT_ARRAY) return E_INVALIDARG;
  VARIANT plain;
  VariantInit(&plain);
  if (HRESULT hr = VariantCopyInd(&plain, v); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  if (plain.vt == VT_BOOL) {
    *out = plain.boolVal ? "True" : "False";
  } else if (plain.vt != VT_EMPTY) {
    VARIANT text{};
    hr = VariantChangeType(&text, &plain, 0, VT_BSTR);
    if (SUCCEEDED(hr) && text.bstrVal) *out = plat::ToUtf8(std::u16string_view(text.bstrVal, SysStringLen(text.bstrVal)));
    VariantClear(&text);
  }
  VariantClear(&plain);
  return hr;
}

}  // namespace

HRESULT CInternetServer::Abort(VARIANT handle, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  if (InetAbort(h) != 0) return MethodFailed(h, error);
  return S_OK;
}

HRESULT CInternetServer::Cancel(VARIANT handle, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  if (IsInitialized() && InetCancel(h) != 0) return MethodFailed(h, error);
  return S_OK;
}

HRESULT CInternetServer::Disconnect(VARIANT handle, VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  // The server handle stops the server: the control forgets it as Stop does.
  if (Running() && h == server_) return Stop(nullptr);
  if (IsInitialized()) InetDisconnect(h);
  return S_OK;
}

HRESULT CInternetServer::Reject(VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  if (current_ == INVALID_SOCKET) return MethodFailed(INVALID_SOCKET, error, cvErrorOperationNotSupported);
  if (!InetReject(current_)) return MethodFailed(current_, error);
  return S_OK;
}

HRESULT CInternetServer::Read(VARIANT handle, VARIANT* buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  int32_t limit = -1;
  if (HRESULT hr = OptionalInt(length, -1, &limit); FAILED(hr)) return hr;
  ReceiveTarget target;
  if (HRESULT hr = PlanReceive(buffer, limit, &target); FAILED(hr)) return hr;
  std::vector<char> data(target.capacity);
  const int32_t n = InetRead(h, data.data(), int32_t(data.size()));
  if (n < 0) return MethodFailed(h, nullptr);
  if (HRESULT hr = StoreReceived(target, data.data(), uint32_t(n), s_.byteOrder == 1); FAILED(hr)) return hr;
  SetLongArgument(result, n);
  return S_OK;
}

HRESULT CInternetServer::Peek(VARIANT handle, VARIANT* buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  int32_t limit = -1;
  if (HRESULT hr = OptionalInt(length, -1, &limit); FAILED(hr)) return hr;
  if (!buffer) {
    const int32_t n = InetPeek(h, nullptr, kPeekCountSize);
    if (n < 0) return MethodFailed(h, nullptr);
    SetLongArgument(result, n);
    return S_OK;
  }
  ReceiveTarget target;
  if (HRESULT hr = PlanReceive(buffer, limit, &target); FAILED(hr)) return hr;
  std::vector<char> data(target.capacity);
  const int32_t n = InetPeek(h, data.data(), int32_t(data.size()));
  if (n < 0) return MethodFailed(h, nullptr);
  if (HRESULT hr = StoreReceived(target, data.data(), uint32_t(n), s_.byteOrder == 1); FAILED(hr)) return hr;
  SetLongArgument(result, n);
  return S_OK;
}

HRESULT CInternetServer::ReadByte(VARIANT handle, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  char byte = 0;
  const int32_t n = InetRead(h, &byte, 1);
  if (n == 0) return MethodFailed(h, nullptr, cvErrorConnectionClosed);
  if (n < 0) return MethodFailed(h, nullptr);
  SetLongArgument(result, int32_t(uint8_t(byte)));
  return S_OK;
}

HRESULT CInternetServer::ReadLine(VARIANT handle, VARIANT* buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  SetBoolArgument(result, false);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  if (!buffer) return E_INVALIDARG;
  VARIANT* target = buffer->vt == (VT_BYREF | VT_VARIANT) ? buffer->pvarVal : buffer;
  if (!target) return E_INVALIDARG;
  const VARTYPE base = VARTYPE(target->vt & ~VT_BYREF);
  if (base != VT_EMPTY && base != VT_BSTR) return E_INVALIDARG;
  if ((target->vt & VT_BYREF) && (base != VT_BSTR || !target->pbstrVal)) return E_INVALIDARG;
  int32_t limit = int32_t(kDefaultTextSize);
  if (HRESULT hr = OptionalInt(length, limit, &limit); FAILED(hr)) return hr;
  if (limit < 1) return E_INVALIDARG;
  std::vector<char> line(size_t(limit) + 1);
  uint32_t size = uint32_t(line.size());
  const int32_t ok = InetReadLine(h, line.data(), &size);
  ReceiveTarget text;
  text.variant = target;
  StoreReceived(text, line.data(), size, false);
  if (!ok) {
    const uint32_t code = InetGetLastError();
    // The peer closing before a line began is an end, not a failure: no event, no exception.
    if (code == cvErrorConnectionClosed) return RaiseErrorFor(h, code, false, false);
    return MethodFailed(h, nullptr, code);
  }
  SetBoolArgument(result, true);
  return S_OK;
}

HRESULT CInternetServer::Write(VARIANT handle, VARIANT buffer, VARIANT length, VARIANT* result) {
  CV_OCX_ENTRY;
  SetLongArgument(result, -1);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  if (h == 0) return E_INVALIDARG;
  int32_t limit = -1;
  if (HRESULT hr = OptionalInt(length, -1, &limit); FAILED(hr)) return hr;
  std::string data;
  if (HRESULT hr = SendBytes(buffer, limit, s_.byteOrder == 1, &data); FAILED(hr)) return hr;
  if (data.empty()) {
    SetLongArgument(result, 0);
    return S_OK;
  }
  const int32_t n = WriteAll(h, data);
  if (n < 0) return MethodFailed(h, nullptr);
  SetLongArgument(result, n);
  return S_OK;
}

HRESULT CInternetServer::WriteByte(VARIANT handle, VARIANT value, VARIANT* result) {
  CV_OCX_ENTRY;
  SetBoolArgument(result, false);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  uint8_t byte = 0;
  if (HRESULT hr = ByteOf(value, &byte); FAILED(hr)) return hr;
  if (InetWrite(h, reinterpret_cast<const char*>(&byte), 1) != 1) return MethodFailed(h, nullptr);
  SetBoolArgument(result, true);
  return S_OK;
}

HRESULT CInternetServer::WriteLine(VARIANT handle, VARIANT buffer, VARIANT* result) {
  CV_OCX_ENTRY;
  SetBoolArgument(result, false);
  SOCKET h;
  if (HRESULT hr = HandleArgument(handle, &h); FAILED(hr)) return hr;
  std::string text;
  if (HRESULT hr = LineText(buffer, &text); FAILED(hr)) return hr;
  if (!InetWriteLine(h, text.c_str(), nullptr)) return MethodFailed(h, nullptr);
  SetBoolArgument(result, true);
  return S_OK;
}

}  // namespace tcpsrvctl
