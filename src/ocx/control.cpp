#include "ocx/control.h"

#include <cstdio>
#include <mutex>

#include "core/errors/error_codes.h"
#include "ocx/module.h"
#include "ocx/variant_args.h"
#include "platform/msg/msg.h"

namespace ocx {
namespace {

constexpr const char* kWindowClass = "CvControlWindow";
// 28 pixels in HIMETRIC at the screen's 96 dots per inch (MulDiv(2540, 28, 96)).
constexpr LONG kExtentHimetric = (2540 * 28 + 48) / 96;
constexpr DWORD kSupportedSafety = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

template <class T>
void ReleaseInto(T*& p) {
  if (p) {
    T* old = p;
    p = nullptr;
    old->Release();
  }
}

}  // namespace

ControlCore::ControlCore(IUnknown* outer, const ControlDescriptor& descriptor,
                         std::span<const LibraryOps* const> libraries, NoLibraryError noLibrary)
    : ObjectRoot(outer), descriptor_(descriptor), libraries_(libraries), noLibrary_(noLibrary) {
  events_ = std::make_unique<plat::com::ConnectionPoint>(this, descriptor.eventIid);
  propertyNotify_ = std::make_unique<plat::com::ConnectionPoint>(this, IID_IPropertyNotifySink);
  // An unregistered class has no ProgID: error information then carries an empty source.
  LPOLESTR progId = nullptr;
  if (SUCCEEDED(ProgIDFromCLSID(descriptor.clsid, &progId)) && progId) progId_ = progId;
  CoTaskMemFree(progId);
}

ControlCore::~ControlCore() {
  ReleaseInto(ambient_);
  ReleaseInto(site_);
}

HRESULT ControlCore::FinalConstruct() {
  extent_ = SIZEL{kExtentHimetric, kExtentHimetric};
  return S_OK;
}

void ControlCore::FinalRelease() {
  if (window_) {
    HWND w = window_;
    window_ = nullptr;
    plat::SetWindowLongPtr(w, plat::GWLP_USERDATA, 0);
    plat::DestroyWindow(w);
  }
}

IUnknown* ControlCore::FindInterface(REFIID riid) {
  if (IsEqualIID(riid, IID_IOleObject)) return static_cast<IOleObject*>(this);
  if (IsEqualIID(riid, IID_IOleControl)) return static_cast<IOleControl*>(this);
  if (IsEqualIID(riid, IID_IPersistStreamInit) || IsEqualIID(riid, IID_IPersist))
    return static_cast<IPersistStreamInit*>(this);
  if (IsEqualIID(riid, IID_IObjectSafety)) return static_cast<IObjectSafety*>(this);
  if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
  if (IsEqualIID(riid, IID_IProvideClassInfo2) || IsEqualIID(riid, IID_IProvideClassInfo))
    return static_cast<IProvideClassInfo2*>(this);
  if (IsEqualIID(riid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
  return nullptr;
}

// --- Window ---

LRESULT ControlCore::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<ControlCore*>(plat::GetWindowLongPtr(hwnd, plat::GWLP_USERDATA));
  if (self) {
    CallGuard guard(self);
    bool handled = false;
    LRESULT r = self->OnWindowMessage(msg, wParam, lParam, &handled);
    if (handled) return r;
  }
  return plat::DefWindowProc(hwnd, msg, wParam, lParam);
}

HRESULT ControlCore::EnsureWindow() {
  if (window_) return S_OK;
  void* module = Module::ModuleHandle();
  static std::once_flag registered;
  std::call_once(registered, [module] {
    plat::WNDCLASS wc;
    wc.lpfnWndProc = &ControlCore::WindowProc;
    wc.hInstance = module;
    wc.lpszClassName = kWindowClass;
    plat::RegisterClass(&wc);  // an existing class of this module is fine
  });
  HWND w = plat::CreateWindowEx(0, kWindowClass, "", plat::WS_CHILD, 0, 0, 0, 0, plat::GetDesktopWindow(), nullptr,
                                module, nullptr);
  if (!w) return E_FAIL;
  plat::SetWindowLongPtr(w, plat::GWLP_USERDATA, reinterpret_cast<plat::LONG_PTR>(this));
  window_ = w;
  return S_OK;
}

// --- IOleObject ---

HRESULT ControlCore::SetClientSite(IOleClientSite* site) {
  CV_OCX_ENTRY;
  // A sited control owns its window before any activation, so the libraries can notify it.
  if (site && !window_) EnsureWindow();
  ReleaseInto(ambient_);
  ReleaseInto(site_);
  if (site) {
    site->AddRef();
    site_ = site;
    void* ambient = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IDispatch, &ambient))) ambient_ = static_cast<IDispatch*>(ambient);
  }
  return S_OK;
}

HRESULT ControlCore::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = site_;
  if (site_) site_->AddRef();
  return S_OK;
}

HRESULT ControlCore::Close(DWORD) {
  CV_OCX_ENTRY;
  if (inPlaceActive_) {
    inPlaceActive_ = false;
    void* ip = nullptr;
    if (site_ && SUCCEEDED(site_->QueryInterface(IID_IOleInPlaceSite, &ip))) {
      auto* inPlace = static_cast<IOleInPlaceSite*>(ip);
      inPlace->OnInPlaceDeactivate();
      inPlace->Release();
    }
  }
  return S_OK;
}

HRESULT ControlCore::GetMoniker(DWORD, DWORD, IMoniker** mk) {
  if (mk) *mk = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlCore::GetClipboardData(DWORD, IDataObject** data) {
  if (data) *data = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlCore::DoVerb(LONG verb, plat::MSG*, IOleClientSite*, LONG, HWND, LPCRECT rect) {
  CV_OCX_ENTRY;
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
    case OLEIVERB_UIACTIVATE:
      return InPlaceActivate(verb, rect);
    default:
      return E_NOTIMPL;
  }
}

HRESULT ControlCore::InPlaceActivate(LONG, LPCRECT) {
  if (inPlaceActive_ || !site_) return S_OK;
  void* ip = nullptr;
  if (HRESULT hr = site_->QueryInterface(IID_IOleInPlaceSite, &ip); FAILED(hr)) return hr;
  auto* inPlace = static_cast<IOleInPlaceSite*>(ip);
  HWND parent = nullptr;
  HRESULT hr = inPlace->GetWindow(&parent);
  if (FAILED(hr) || !parent) {
    inPlace->Release();
    return FAILED(hr) ? hr : S_OK;
  }
  if (!window_) EnsureWindow();
  if (window_) plat::SetParent(window_, parent);
  hr = inPlace->CanInPlaceActivate();
  if (hr == S_OK) {
    inPlace->OnInPlaceActivate();
    inPlaceActive_ = true;
  } else {
    hr = E_FAIL;
  }
  inPlace->Release();
  return hr;
}

HRESULT ControlCore::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs) *verbs = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlCore::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = descriptor_.clsid;
  return S_OK;
}

HRESULT ControlCore::GetUserType(DWORD, LPOLESTR* type) {
  if (type) *type = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlCore::SetExtent(DWORD, SIZEL*) {
  return E_FAIL;  // auto-sized: the control keeps its natural size
}

HRESULT ControlCore::GetExtent(DWORD aspect, SIZEL* size) {
  if (!size) return E_POINTER;
  if (aspect != DVASPECT_CONTENT) return E_FAIL;
  *size = extent_;
  return S_OK;
}

HRESULT ControlCore::Advise(IAdviseSink*, DWORD* connection) {
  if (connection) *connection = 0;
  return E_NOTIMPL;
}

HRESULT ControlCore::EnumAdvise(IEnumSTATDATA** e) {
  if (e) *e = nullptr;
  return E_NOTIMPL;
}

HRESULT ControlCore::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = descriptor_.miscStatus;
  return S_OK;
}

// --- IOleControl ---

HRESULT ControlCore::FreezeEvents(BOOL freeze) {
  if (freeze)
    ++freeze_;
  else if (freeze_ > 0)
    --freeze_;
  return S_OK;
}

// --- IPersistStreamInit ---

HRESULT ControlCore::Load(IStream* stream) {
  if (!stream) return E_POINTER;
  LONG size[2];
  ULONG read = 0;
  HRESULT hr = stream->Read(size, sizeof size, &read);
  if (FAILED(hr)) return hr;
  if (read != sizeof size) return E_FAIL;
  extent_ = SIZEL{size[0], size[1]};
  dirty_ = false;
  return S_OK;
}

HRESULT ControlCore::Save(IStream* stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  LONG size[2] = {extent_.cx, extent_.cy};
  ULONG written = 0;
  HRESULT hr = stream->Write(size, sizeof size, &written);
  if (FAILED(hr)) return hr;
  if (written != sizeof size) return STG_E_MEDIUMFULL;
  if (clearDirty) dirty_ = false;
  return S_OK;
}

HRESULT ControlCore::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = 2 * sizeof(LONG);
  return S_OK;
}

// --- Safety, error information, class information ---

HRESULT ControlCore::GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_POINTER;
  *supported = kSupportedSafety;
  *enabled = INTERFACESAFE_FOR_UNTRUSTED_DATA;
  return S_OK;
}

HRESULT ControlCore::SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) {
  return (mask & enabled) == INTERFACESAFE_FOR_UNTRUSTED_CALLER ? E_FAIL : S_OK;
}

HRESULT ControlCore::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, descriptor_.dualIid) ? S_OK : S_FALSE;
}

HRESULT ControlCore::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  return plat::com::GetTypeInfoOf(descriptor_.typeLibrary(), plat::com::TypeLibPart::Class, info);
}

HRESULT ControlCore::DualTypeInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  return plat::com::GetTypeInfoOf(descriptor_.typeLibrary(), plat::com::TypeLibPart::Dual, info);
}

HRESULT ControlCore::GetGUID(DWORD kind, GUID* guid) {
  if (!guid) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = descriptor_.eventIid;
  return S_OK;
}

// --- Connection points ---

HRESULT ControlCore::EnumConnectionPoints(IEnumConnectionPoints** e) {
  return plat::com::CreateConnectionPointEnumerator({events_.get(), propertyNotify_.get()}, e);
}

HRESULT ControlCore::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  for (plat::com::ConnectionPoint* p : {events_.get(), propertyNotify_.get()}) {
    if (IsEqualIID(riid, p->iid())) {
      p->AddRef();
      *point = p;
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

void ControlCore::FireEvent(DISPID id, const VARIANT* args, UINT count) {
  CV_OCX_ENTRY;
  events_->FireDispatch(id, args, count);
}

// Calls fn(sink) for every connected property-notification sink; fn answers false to stop.
template <class Fn>
static void ForEachNotifySink(plat::com::ConnectionPoint& point, Fn fn) {
  IEnumConnections* e = nullptr;
  if (FAILED(point.EnumConnections(&e))) return;
  CONNECTDATA cd;
  bool go = true;
  while (e->Next(1, &cd, nullptr) == S_OK) {
    if (go) go = fn(static_cast<IPropertyNotifySink*>(cd.pUnk));
    cd.pUnk->Release();
  }
  e->Release();
}

HRESULT ControlCore::RequestEdit(DISPID id) {
  HRESULT result = S_OK;
  ForEachNotifySink(*propertyNotify_, [&](IPropertyNotifySink* sink) {
    if (sink->OnRequestEdit(id) == S_FALSE) result = S_FALSE;
    return result == S_OK;
  });
  return result;
}

void ControlCore::NotifyChanged(DISPID id) {
  ForEachNotifySink(*propertyNotify_, [&](IPropertyNotifySink* sink) {
    sink->OnChanged(id);
    return true;
  });
}

// --- Stock Enabled ---

HRESULT ControlCore::PutEnabled(VARIANT_BOOL value) {
  CV_OCX_ENTRY;
  if (!EventsFrozen() && RequestEdit(DISPID_ENABLED) == S_FALSE) return S_FALSE;
  enabled_ = value != VARIANT_FALSE;
  dirty_ = true;
  NotifyChanged(DISPID_ENABLED);
  return S_OK;
}

HRESULT ControlCore::GetEnabled(VARIANT_BOOL* value) {
  if (!value) return E_POINTER;
  *value = enabled_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// --- Run mode, errors, lazy initialise ---

bool ControlCore::IsRunMode() {
  if (!ambient_) return true;
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  HRESULT hr = ambient_->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                &result, nullptr, nullptr);
  bool run = SUCCEEDED(hr) && result.vt == VT_BOOL && result.boolVal != VARIANT_FALSE;
  VariantClear(&result);
  return run;
}

void ControlCore::PublishErrorInfo(BSTR description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || !create) return;
  create->SetGUID(descriptor_.dualIid);
  create->SetSource(const_cast<LPOLESTR>(progId_.c_str()));
  if (description) create->SetDescription(description);
  void* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, &info)) && info) {
    SetErrorInfo(0, static_cast<IErrorInfo*>(info));
    static_cast<IErrorInfo*>(info)->Release();
  }
  create->Release();
}

void ControlCore::DescribeStockError(EXCEPINFO* excepInfo) {
  if (!excepInfo || excepInfo->bstrDescription) return;
  const char16_t* text = nullptr;
  switch (excepInfo->scode) {
    case kCtlErrorInvalidPropertyValue:
      text = u"Invalid property value";
      break;
    case kCtlErrorInvalidPropertyIndex:
      text = u"Invalid property array index";
      break;
    case kCtlErrorSetNotSupported:
      text = u"Set not supported (read-only property)";
      break;
    case kCtlErrorGetNotSupported:
      text = u"Get not supported (write-only property)";
      break;
    default:
      return;
  }
  excepInfo->bstrDescription = SysAllocString(text);
  if (!excepInfo->bstrSource) excepInfo->bstrSource = SysAllocString(progId_.c_str());
  PublishErrorInfo(excepInfo->bstrDescription);
}

HRESULT ControlCore::RaiseError(uint32_t code, bool returnFlag, bool fireFlag) {
  CV_OCX_ENTRY;
  char buffer[128] = {};
  const char* text = nullptr;
  if (const LibraryOps* lib = ErrorLibrary()) {
    if (code == 0) code = lib->getLastError();
    if (code == 0) {
      lastError_ = 0;
      return S_OK;
    }
    // An invalid handle without any session means there is no connection.
    if (code == cvErrorInvalidHandle && !HasSession()) code = cvErrorNotConnected;
    if (lib->getErrorText(code, buffer) && buffer[0]) text = buffer;
  } else if (code == 0) {
    code = noLibrary_.code;
    text = noLibrary_.text;
  } else if (!libraries_.empty() && libraries_[0]->getErrorText(code, buffer) && buffer[0]) {
    text = buffer;
  }
  char undefined[64];
  if (!text) {
    std::snprintf(undefined, sizeof undefined, "Undefined control error (0x%08X)", code);
    text = undefined;
  }
  lastError_ = code;

  BSTR description = Utf8ToUtf16(text);
  PublishErrorInfo(description);
  if (fireFlag) FireError(code, description);
  SysFreeString(description);

  if (!returnFlag) return S_OK;
  if ((code & 0x1FFF0000u) == 0x40000u) return HRESULT(0x800A0000u | (code & 0xFFFFu));
  return HRESULT(code);
}

HRESULT ControlCore::AutoInitialize() {
  CV_OCX_ENTRY;
  if (initialized_) return S_OK;
  if (!IsRunMode()) return kCtlErrorInvalidProcedureCall;
  if (!window_) EnsureWindow();
  for (size_t i = 0; i < libraries_.size(); ++i) {
    LibVersionInfo info{};
    info.size = sizeof info;
    info.options = kLibAttachFull;
    if (libraries_[i]->attach(&info) == 1) continue;
    const uint32_t code = libraries_[i]->getLastError();
    // Undo the attaches that succeeded, so that a retry does not count them twice.
    for (size_t k = i; k-- > 0;) libraries_[k]->detach();
    return RaiseError(code, ThrowErrors(), false);
  }
  initialized_ = true;
  OnLibrariesAttached();
  return S_OK;
}

void ControlCore::DetachLibraries() {
  if (!initialized_) return;
  for (const LibraryOps* lib : libraries_) lib->detach();
  initialized_ = false;
}

}  // namespace ocx
