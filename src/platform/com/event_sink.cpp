#include "platform/com/event_sink.h"

#include <new>

#include "platform/com/com.h"

namespace plat::com {

EventSink* EventSink::Create(REFIID eventIid) { return new (std::nothrow) EventSink(eventIid); }

EventSink::~EventSink() {
  if (point_) point_->Release();
}

HRESULT EventSink::QueryInterface(REFIID riid, void** ppv) {
  return QueryFromTable(riid, ppv, {{&iid_, this}, {&IID_IDispatch, this}});
}

HRESULT EventSink::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT EventSink::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT EventSink::Connect(IUnknown* source) {
  if (!source) return E_POINTER;
  if (point_) return CONNECT_E_ADVISELIMIT;
  IConnectionPointContainer* container = nullptr;
  HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  if (FAILED(hr)) return hr;
  IConnectionPoint* point = nullptr;
  hr = container->FindConnectionPoint(iid_, &point);
  container->Release();
  if (FAILED(hr)) return hr;
  hr = point->Advise(static_cast<IDispatch*>(this), &cookie_);
  if (FAILED(hr)) {
    point->Release();
    return hr;
  }
  point_ = point;
  return S_OK;
}

HRESULT EventSink::Disconnect() {
  if (!point_) return CONNECT_E_NOCONNECTION;
  IConnectionPoint* point = point_;
  point_ = nullptr;
  HRESULT hr = point->Unadvise(cookie_);
  point->Release();
  return hr;
}

HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
  if (!params || (params->cArgs && !params->rgvarg)) return E_INVALIDARG;
  if (result) VariantInit(result);
  auto it = handlers_.find(id);
  if (it == handlers_.end()) return S_OK;  // events nobody listens to are fine
  std::vector<const VARIANT*> args(params->cArgs);
  for (UINT i = 0; i < params->cArgs; ++i) args[i] = &params->rgvarg[params->cArgs - 1 - i];
  AddRef();  // a handler may drop the host's reference to this sink
  Handler handler = it->second;
  handler(args);
  Release();
  return S_OK;
}

}  // namespace plat::com
