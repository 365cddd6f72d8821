#pragma once
// COM interfaces as classes of pure virtual functions without a virtual destructor, so that the
// vtable layout is COM's. Slots keep the documented order; identifiers the documented values.
#include "platform/com/com_types.h"
#include "platform/msg/msg_types.h"

#define CV_IID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  inline constexpr IID name = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
CV_IID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IOleObject, 0x00000112, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IOleWindow, 0x00000114, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IOleClientSite, 0x00000118, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IOleInPlaceSite, 0x00000119, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
CV_IID(IID_ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
CV_IID(IID_IErrorInfo, 0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
CV_IID(IID_ICreateErrorInfo, 0x22F03340, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
CV_IID(IID_ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
CV_IID(IID_IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IConnectionPointContainer, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IEnumConnectionPoints, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IConnectionPoint, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IEnumConnections, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IOleControl, 0xB196B288, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IPropertyNotifySink, 0x9BFBBC02, 0xEFF1, 0x101A, 0x84, 0xED, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
CV_IID(IID_IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13);
CV_IID(IID_IProvideClassInfo2, 0xA6BC3AC0, 0xDBAA, 0x11CE, 0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51);
CV_IID(IID_IObjectSafety, 0xCB5BDC81, 0x93C1, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64);

// Opaque types that appear only behind pointers in the slots this runtime declares.
struct ITypeInfo;
struct IMoniker;
struct IDataObject;
struct IAdviseSink;
struct IEnumOLEVERB;
struct IEnumSTATDATA;
struct IOleContainer;
struct IOleInPlaceFrame;
struct IOleInPlaceUIWindow;
struct OLEINPLACEFRAMEINFO;
struct CONTROLINFO;
struct STATSTG;
struct FORMATETC;
using HMENU = struct HMENU__*;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;
};

struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* pGUID) = 0;
  virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
  virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
  virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;
};

struct ICreateErrorInfo : IUnknown {
  virtual HRESULT SetGUID(REFGUID rguid) = 0;
  virtual HRESULT SetSource(LPOLESTR szSource) = 0;
  virtual HRESULT SetDescription(LPOLESTR szDescription) = 0;
  virtual HRESULT SetHelpFile(LPOLESTR szHelpFile) = 0;
  virtual HRESULT SetHelpContext(DWORD dwHelpContext) = 0;
};

struct ISupportErrorInfo : IUnknown {
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;
};

inline constexpr DWORD GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1;
struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;
};

inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;
struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) = 0;
};

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

struct IConnectionPointContainer;
struct IEnumConnections : IUnknown {
  virtual HRESULT Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;
};

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;
};

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
  virtual HRESULT Skip(ULONG cConnections) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

struct IPropertyNotifySink : IUnknown {
  virtual HRESULT OnChanged(DISPID dispID) = 0;
  virtual HRESULT OnRequestEdit(DISPID dispID) = 0;
};

struct IOleControl : IUnknown {
  virtual HRESULT GetControlInfo(CONTROLINFO* pCI) = 0;
  virtual HRESULT OnMnemonic(plat::MSG* pMsg) = 0;
  virtual HRESULT OnAmbientPropertyChange(DISPID dispID) = 0;
  virtual HRESULT FreezeEvents(BOOL bFreeze) = 0;
};

struct IOleClientSite : IUnknown {
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT GetContainer(IOleContainer** ppContainer) = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;
};

inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
inline constexpr LONG OLEIVERB_UIACTIVATE = -4;
inline constexpr DWORD DVASPECT_CONTENT = 1;

struct IOleObject : IUnknown {
  virtual HRESULT SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) = 0;
  virtual HRESULT Close(DWORD dwSaveOption) = 0;
  virtual HRESULT SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT InitFromData(IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) = 0;
  virtual HRESULT GetClipboardData(DWORD dwReserved, IDataObject** ppDataObject) = 0;
  virtual HRESULT DoVerb(LONG iVerb, plat::MSG* lpmsg, IOleClientSite* pActiveSite, LONG lindex, HWND hwndParent,
                         LPCRECT lprcPosRect) = 0;
  virtual HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT IsUpToDate() = 0;
  virtual HRESULT GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
  virtual HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT SetColorScheme(void* pLogpal) = 0;
};

struct IOleWindow : IUnknown {
  virtual HRESULT GetWindow(HWND* phwnd) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL fEnterMode) = 0;
};

struct IOleInPlaceSite : IOleWindow {
  virtual HRESULT CanInPlaceActivate() = 0;
  virtual HRESULT OnInPlaceActivate() = 0;
  virtual HRESULT OnUIActivate() = 0;
  virtual HRESULT GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, RECT* lprcPosRect,
                                   RECT* lprcClipRect, OLEINPLACEFRAMEINFO* lpFrameInfo) = 0;
  virtual HRESULT Scroll(SIZEL scrollExtant) = 0;
  virtual HRESULT OnUIDeactivate(BOOL fUndoable) = 0;
  virtual HRESULT OnInPlaceDeactivate() = 0;
  virtual HRESULT DiscardUndoState() = 0;
  virtual HRESULT DeactivateAndUndo() = 0;
  virtual HRESULT OnPosRectChange(LPCRECT lprcPosRect) = 0;
};

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;
};

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

struct IPersistStreamInit : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* pStm) = 0;
  virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* pCbSize) = 0;
  virtual HRESULT InitNew() = 0;
};
