#pragma once
// Host side of events: an IDispatch sink that maps DISPIDs to callbacks and connects itself to
// a source's connection point for one event interface.
#include <functional>
#include <map>
#include <vector>

#include "platform/com/interfaces.h"
#include "platform/com/unknown_impl.h"

namespace plat::com {

class EventSink final : public IDispatch, public RefCount {
 public:
  // Arguments in declared order (the sink undoes Automation's reversal); they are borrowed.
  using Handler = std::function<void(const std::vector<const VARIANT*>& args)>;

  // Created with one reference held by the caller.
  static EventSink* Create(REFIID eventIid);

  void On(DISPID id, Handler handler) { handlers_[id] = std::move(handler); }
  HRESULT Connect(IUnknown* source);  // finds the point for the event interface and advises
  HRESULT Disconnect();

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  CV_COM_REFCOUNT
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT*) override;

 private:
  explicit EventSink(REFIID iid) : iid_(iid) {}
  ~EventSink() override;
  IID iid_;
  std::map<DISPID, Handler> handlers_;
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace plat::com
