#pragma once
// The control base: what every control of the suite shares between its dual interface and
// its protocol libraries. It holds the client site and the container's ambient properties
// (run mode), the hidden window the libraries notify, the extent, the events freeze counter,
// the connection points (the default source and property notifications), the stock Enabled
// property, error information, safety options, and the two routines behind every property
// and method: RaiseError and AutoInitialize.
#include <memory>
#include <span>
#include <string>

#include "ocx/descriptor.h"
#include "ocx/libraries.h"
#include "ocx/object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch.h"

namespace ocx {

// The error code a control raises when no library applies, with its own text.
struct NoLibraryError {
  uint32_t code;
  const char* text;
};

class ControlCore : public ObjectRoot,
                    public IOleObject,
                    public IOleControl,
                    public IPersistStreamInit,
                    public IObjectSafety,
                    public ISupportErrorInfo,
                    public IProvideClassInfo2,
                    public IConnectionPointContainer {
 public:
  // IOleObject (the subset a container uses with an invisible control).
  HRESULT SetClientSite(IOleClientSite* site) override;
  HRESULT GetClientSite(IOleClientSite** site) override;
  HRESULT SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT Close(DWORD saveOption) override;
  HRESULT SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker** mk) override;
  HRESULT InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT GetClipboardData(DWORD, IDataObject** data) override;
  HRESULT DoVerb(LONG verb, plat::MSG* msg, IOleClientSite* activeSite, LONG index, HWND parent,
                 LPCRECT rect) override;
  HRESULT EnumVerbs(IEnumOLEVERB** verbs) override;
  HRESULT Update() override { return S_OK; }
  HRESULT IsUpToDate() override { return S_OK; }
  HRESULT GetUserClassID(CLSID* clsid) override;
  HRESULT GetUserType(DWORD, LPOLESTR* type) override;
  HRESULT SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT Advise(IAdviseSink*, DWORD* connection) override;
  HRESULT Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
  HRESULT EnumAdvise(IEnumSTATDATA** e) override;
  HRESULT GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT SetColorScheme(void*) override { return E_NOTIMPL; }

  // IOleControl.
  HRESULT GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
  HRESULT OnMnemonic(plat::MSG*) override { return E_NOTIMPL; }
  HRESULT OnAmbientPropertyChange(DISPID) override { return S_OK; }
  HRESULT FreezeEvents(BOOL freeze) override;

  // IPersistStreamInit: only the extent is persisted.
  HRESULT GetClassID(CLSID* clsid) override { return GetUserClassID(clsid); }
  HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, BOOL clearDirty) override;
  HRESULT GetSizeMax(ULARGE_INTEGER* size) override;
  HRESULT InitNew() override { return S_OK; }

  // IObjectSafety: safe for untrusted data and (supported) callers; nothing is stored.
  HRESULT GetInterfaceSafetyOptions(REFIID, DWORD* supported, DWORD* enabled) override;
  HRESULT SetInterfaceSafetyOptions(REFIID, DWORD mask, DWORD enabled) override;

  // ISupportErrorInfo: the dual interface only.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // IProvideClassInfo2: the class's type information and its default source interface.
  HRESULT GetClassInfo(ITypeInfo** info) override;
  HRESULT GetGUID(DWORD kind, GUID* guid) override;

  // IConnectionPointContainer.
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** e) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

  // --- Services for the control's members ---

  // Nonzero in user mode: no ambient dispatch counts as running; otherwise the container's
  // user-mode ambient property when it reads as a boolean, else design mode.
  bool IsRunMode();
  // Turns a library error into the control's error state (see the .cpp for the steps).
  HRESULT RaiseError(uint32_t code, bool returnFlag, bool fireFlag);
  // A member that failed with one of the stock property errors and no text of its own:
  // the exception gets the stock description, and the host's error object too.
  void DescribeStockError(EXCEPINFO* excepInfo);
  // Attaches every library the first time the control is used.
  HRESULT AutoInitialize();
  // Detaches every library (the reverse of a successful AutoInitialize).
  void DetachLibraries();
  bool IsInitialized() const { return initialized_; }

  HWND Window() const { return window_; }
  // Creates the hidden window (child of the desktop, WS_CHILD only, empty) when missing.
  HRESULT EnsureWindow();
  bool InPlaceActive() const { return inPlaceActive_; }
  bool EventsFrozen() const { return freeze_ > 0; }
  long FreezeCount() const { return freeze_; }

  uint32_t LastErrorCode() const { return lastError_; }
  void SetLastErrorCode(uint32_t code) { lastError_ = code; }
  const std::u16string& ProgId() const { return progId_; }
  const ControlDescriptor& Descriptor() const { return descriptor_; }
  std::span<const LibraryOps* const> Libraries() const { return libraries_; }

  // The type information of the dual interface (what IDispatch::GetTypeInfo hands out).
  HRESULT DualTypeInfo(ITypeInfo** info);

  // Fires an event of the default source to every connected sink, arguments in declared
  // order. The control stays alive through the call.
  void FireEvent(DISPID id, const VARIANT* args, UINT count);
  size_t EventSinkCount() const { return events_->ConnectionCount(); }

  // The stock Enabled property.
  HRESULT PutEnabled(VARIANT_BOOL value);
  HRESULT GetEnabled(VARIANT_BOOL* value);

 protected:
  ControlCore(IUnknown* outer, const ControlDescriptor& descriptor, std::span<const LibraryOps* const> libraries,
              NoLibraryError noLibrary);
  ~ControlCore() override;

 public:
  HRESULT FinalConstruct() override;

 protected:
  // Destroys the window; controls that override it call it last.
  void FinalRelease() override;
  IUnknown* FindInterface(REFIID riid) override;

  // The library whose last error and texts apply now (by the control's server type), or null.
  virtual const LibraryOps* ErrorLibrary() { return libraries_.empty() ? nullptr : libraries_[0]; }
  // Whether the control holds a library session (an invalid-handle error then stands).
  virtual bool HasSession() { return false; }
  // The control's ThrowError setting: AutoInitialize reports a failed attach with it.
  virtual bool ThrowErrors() { return false; }
  // Each control fires its own OnError (its DISPID and arguments differ).
  virtual void FireError(uint32_t code, BSTR text) {
    (void)code;
    (void)text;
  }
  // After every library attached (tracing starts here).
  virtual void OnLibrariesAttached() {}
  // Messages of the hidden window (library and task notifications).
  virtual LRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool* handled) {
    (void)msg;
    (void)wParam;
    (void)lParam;
    *handled = false;
    return 0;
  }

 private:
  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HRESULT InPlaceActivate(LONG verb, LPCRECT rect);
  HRESULT RequestEdit(DISPID id);
  void NotifyChanged(DISPID id);
  // Makes the description the thread's error object, with this control as its source.
  void PublishErrorInfo(BSTR description);

  const ControlDescriptor& descriptor_;
  std::span<const LibraryOps* const> libraries_;
  NoLibraryError noLibrary_;
  std::u16string progId_;

  IOleClientSite* site_ = nullptr;
  IDispatch* ambient_ = nullptr;
  HWND window_ = nullptr;
  bool inPlaceActive_ = false;
  SIZEL extent_{0, 0};
  bool dirty_ = false;
  long freeze_ = 0;
  bool enabled_ = true;
  bool initialized_ = false;
  uint32_t lastError_ = 0;
  std::unique_ptr<plat::com::ConnectionPoint> events_;
  std::unique_ptr<plat::com::ConnectionPoint> propertyNotify_;
};

// A control with its dual interface: IDispatch over the interface's member table with the
// type information of the control's library, and the IUnknown slots of every interface
// routed through the object root.
template <class Dual>
class Control : public ControlCore, public plat::com::DispatchImpl<Dual> {
 public:
  CV_OCX_IUNKNOWN

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return index == 0 ? DualTypeInfo(info) : DISP_E_BADINDEX;
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override {
    const HRESULT hr = plat::com::DispatchImpl<Dual>::Invoke(id, riid, lcid, flags, params, result, excepInfo, argErr);
    if (hr == DISP_E_EXCEPTION) DescribeStockError(excepInfo);
    return hr;
  }

 protected:
  using ControlCore::ControlCore;
  IUnknown* FindInterface(REFIID riid) override {
    if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, Descriptor().dualIid)) return static_cast<Dual*>(this);
    return ControlCore::FindInterface(riid);
  }
};

}  // namespace ocx

// First statement of every interface entry of a control.
#define CV_OCX_ENTRY ::ocx::CallGuard cvOcxGuard_(this)
