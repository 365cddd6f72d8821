// Construction, release, the error reporter, the interval timer and the methods of
// CTimeClient.
#include "time/ocx/time_client.h"

#include "core/errors/error_codes.h"
#include "ocx/variant_args.h"
#include "platform/base/last_error.h"
#include "platform/base/time.h"
#include "platform/msg/msg.h"
#include "time/ocx/guids.h"
#include "time/ocx/libraries.h"
#include "time/time.h"

namespace timectl {

const ocx::ControlDescriptor kTimeClientDescriptor{
    CLSID_TimeClient,
    IID_ITimeClient,
    DIID__ITimeClientEvents,
    LIBID_TimeClientCtl,
    "Corvanetics.TimeClient.9",
    "Corvanetics.TimeClient",
    "TimeClient Control",
    132497,  // set-client-site-first, invisible at run time, activate when visible, inside-out, ...
    {uint16_t(kLibVersionMajor), uint16_t(kLibVersionMinor), uint16_t(kLibVersionBuild), 0},
    &TimeClientTypeLibrary,
};

namespace {

// An optional out argument that takes a number: through its reference when it has one.
void SetLongArgument(VARIANT* arg, int32_t value) {
  if (!arg) return;
  if (arg->vt & VT_BYREF) {
    ocx::SetVariantLong(arg, value);
    return;
  }
  VariantClear(arg);
  arg->vt = VT_I4;
  arg->lVal = value;
}

// An optional out argument that takes a boolean, in the type the caller passed.
void SetBoolArgument(VARIANT* arg, bool value) {
  if (!arg) return;
  VARIANT* t = arg->vt == (VT_BYREF | VT_VARIANT) ? arg->pvarVal : arg;
  if (!t) return;
  const VARIANT_BOOL b = value ? VARIANT_TRUE : VARIANT_FALSE;
  if (t->vt == (VT_BYREF | VT_BOOL) && t->pboolVal) {
    *t->pboolVal = b;
    return;
  }
  if (t->vt & VT_BYREF) {
    ocx::SetVariantLong(t, value ? -1 : 0);
    return;
  }
  VariantClear(t);
  t->vt = VT_BOOL;
  t->boolVal = b;
}

// GetTime's Result: the time as automation date text, or empty when there is none.
void SetTextArgument(VARIANT* arg, const OLECHAR* text) {
  if (!arg) return;
  VARIANT* t = arg->vt == (VT_BYREF | VT_VARIANT) ? arg->pvarVal : arg;
  if (t && !(t->vt & VT_BYREF)) VariantClear(t);
  ocx::SetVariantBSTR(arg, text);
}

std::u16string DateText(uint32_t networkTime, bool local) {
  SYSTEMTIME st{};
  DATE date = 0;
  BSTR text = nullptr;
  if (!TimeToSystemTime(networkTime, &st, local ? 1 : 0) || !plat::SystemTimeToVariantTime(&st, &date) ||
      FAILED(VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text)))
    return {};
  std::u16string out(text ? text : u"", text ? SysStringLen(text) : 0);
  SysFreeString(text);
  return out;
}

// Reads an optional argument, or gives back the property's value when it is missing.
HRESULT OptionalInt(const VARIANT& arg, int32_t def, int32_t* out) {
  if (ocx::IsMissingArgument(arg)) {
    *out = def;
    return S_OK;
  }
  return ocx::VariantToInt32(&arg, out);
}

}  // namespace

CTimeClient::CTimeClient(IUnknown* outer)
    : Control(outer, kTimeClientDescriptor, kLibraries, {0, nullptr}) {}

void CTimeClient::FinalRelease() {
  StopTimer();
  s_.interval = 0;
  Control::FinalRelease();
  DetachLibraries();
}

void CTimeClient::FireError(uint32_t code, BSTR text) {
  VARIANT number{}, description{};
  ocx::ErrorEventArguments(code, text, number, description);
  Fire_OnError(number, description);
}

HRESULT CTimeClient::Report(uint32_t code, bool returnFlag) {
  const HRESULT hr = RaiseError(code, returnFlag, false);
  if (LastErrorCode() == cvErrorOperationCanceled) Fire_OnCancel();
  if (LastErrorCode() == cvErrorOperationTimeout) Fire_OnTimeout();
  return hr;
}

HRESULT CTimeClient::ReportHelperFailure() {
  TimeSetLastError(plat::GetLastError());
  return Report(0, true);
}

void CTimeClient::OnLibrariesAttached() {
  if (s_.trace) StartTrace();
}

bool CTimeClient::Enabled() {
  VARIANT_BOOL enabled = VARIANT_FALSE;
  GetEnabled(&enabled);
  return enabled != VARIANT_FALSE;
}

void CTimeClient::StopTimer() {
  if (timerId_ && Window()) plat::KillTimer(Window(), kIntervalTimerId);
  timerId_ = 0;
}

void CTimeClient::RestartTimer() {
  if (FAILED(EnsureWindow())) return;
  StopTimer();
  if (Enabled() && s_.interval != 0) timerId_ = plat::SetTimer(Window(), kIntervalTimerId, s_.interval, nullptr);
}

LRESULT CTimeClient::OnWindowMessage(UINT msg, WPARAM wParam, LPARAM, bool* handled) {
  *handled = false;
  if (msg != plat::WM_TIMER || wParam != kIntervalTimerId) return 0;
  *handled = true;
  // A handler that pumps messages (GetTime does) gets no nested OnTimer.
  if (s_.interval != 0 && !inTimer_) {
    inTimer_ = true;
    Fire_OnTimer();
    inTimer_ = false;
  }
  return 0;
}

HRESULT CTimeClient::About() {
  CV_OCX_ENTRY;
  return S_OK;  // no dialogs on this platform: the About box has nothing to show
}

HRESULT CTimeClient::Cancel(VARIANT* error) {
  CV_OCX_ENTRY;
  SetLongArgument(error, 0);
  return S_OK;
}

HRESULT CTimeClient::Initialize(VARIANT reserved, VARIANT* error) {
  CV_OCX_ENTRY;
  (void)reserved;
  SetLongArgument(error, 0);
  const HRESULT hr = AutoInitialize();
  if (FAILED(hr)) {
    SetLongArgument(error, int32_t(uint32_t(hr) & 0xFFFFu));
    return s_.throwError ? hr : S_OK;
  }
  return S_OK;
}

HRESULT CTimeClient::Reset() {
  CV_OCX_ENTRY;
  StopTimer();
  if (s_.trace) TimeDisableTrace();
  s_ = TimeClientSettings{};
  SetLastErrorCode(0);
  return S_OK;
}

HRESULT CTimeClient::Uninitialize() {
  CV_OCX_ENTRY;
  Reset();
  DetachLibraries();
  return S_OK;
}

HRESULT CTimeClient::GetTime(VARIANT remoteHost, VARIANT remotePort, VARIANT timeout, VARIANT localize,
                             VARIANT* result) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  const std::u16string& defaultHost = s_.hostAddress.empty() ? s_.hostName : s_.hostAddress;
  std::u16string host;
  if (HRESULT hr = ocx::VariantToText(remoteHost, &host, defaultHost.c_str()); FAILED(hr)) return hr;
  int32_t port = 0, seconds = 0;
  if (HRESULT hr = OptionalInt(remotePort, int32_t(s_.remotePort), &port); FAILED(hr)) return hr;
  if (HRESULT hr = OptionalInt(timeout, s_.timeout, &seconds); FAILED(hr)) return hr;
  bool local = false;
  if (!ocx::IsMissingArgument(localize)) {
    VARIANT b{};
    if (HRESULT hr = VariantChangeType(&b, &localize, 0, VT_BOOL); FAILED(hr)) return hr;
    local = b.boolVal != VARIANT_FALSE;
  }

  const std::string hostText = ocx::Utf16ToUtf8(host);
  s_.lastNetworkTime = TimeGetNetworkTime(hostText.c_str(), uint32_t(port), uint32_t(seconds));
  if (result) {
    const std::u16string text = s_.lastNetworkTime ? DateText(s_.lastNetworkTime, local) : std::u16string();
    SetTextArgument(result, text.c_str());
  }
  if (s_.lastNetworkTime == 0) Report(0, true);  // sets LastError; GetTime itself succeeds
  return S_OK;
}

HRESULT CTimeClient::SetTime(VARIANT networkTime, VARIANT* result) {
  CV_OCX_ENTRY;
  if (HRESULT hr = AutoInitialize(); FAILED(hr)) return hr;
  uint32_t value = s_.lastNetworkTime;
  if (!ocx::IsMissingArgument(networkTime)) {
    VARIANT date{};
    if (HRESULT hr = VariantChangeType(&date, &networkTime, 0, VT_DATE); FAILED(hr)) return hr;
    SYSTEMTIME local{};
    // The date is a local date and time; a date outside the calendar gives no time.
    value = plat::VariantTimeToSystemTime(date.date, &local) ? TimeFromSystemTime(&local) : 0;
  }
  SetBoolArgument(result, TimeSetSystemTime(value) != 0);
  return S_OK;
}

}  // namespace timectl
