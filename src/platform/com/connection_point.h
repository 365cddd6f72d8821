#pragma once
// A connection point for one outgoing interface, its enumerators, and event firing through
// IDispatch::Invoke. The point lives inside its container and shares the container's count.
#include <vector>

#include "platform/com/interfaces.h"

namespace plat::com {

class ConnectionPoint : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid) : container_(container), iid_(iid) {}
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return container_->AddRef(); }
  ULONG Release() override { return container_->Release(); }

  HRESULT GetConnectionInterface(IID* pIID) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT Unadvise(DWORD dwCookie) override;
  HRESULT EnumConnections(IEnumConnections** ppEnum) override;

  REFIID iid() const { return iid_; }
  // Calls every sink connected when the call starts, in subscription order, with the
  // arguments given in declared order (they reach the sink reversed, as Automation wants).
  // Sinks that fail do not stop the others; sinks that leave during the call are skipped.
  void FireDispatch(DISPID id, const VARIANT* argsInDeclaredOrder, UINT count);
  size_t ConnectionCount() const;

 private:
  IConnectionPointContainer* container_;
  IID iid_;
  std::vector<IUnknown*> slots_;  // cookie = index + 1; null when disconnected
};

HRESULT CreateConnectionPointEnumerator(std::vector<IConnectionPoint*> points, IEnumConnectionPoints** out);

}  // namespace plat::com
