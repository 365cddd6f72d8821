#include "platform/com/connection_point.h"

#include <new>

#include "platform/com/com.h"
#include "platform/com/unknown_impl.h"

namespace plat::com {
namespace {

// A snapshot enumerator over items that are AddRef'd while it holds them.
template <class Enum, class Item, const IID* Iid>
class Enumerator final : public Enum, public RefCount {
 public:
  explicit Enumerator(std::vector<Item> items) : items_(std::move(items)) {
    for (Item& i : items_) Ref(i)->AddRef();
  }
  ~Enumerator() override {
    for (Item& i : items_) Ref(i)->Release();
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFromTable(riid, ppv, {{Iid, static_cast<Enum*>(this)}});
  }
  CV_COM_REFCOUNT

  HRESULT Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && pos_ < items_.size(); ++n, ++pos_) {
      out[n] = items_[pos_];
      Ref(out[n])->AddRef();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    size_t left = items_.size() - pos_;
    pos_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT Clone(Enum** out) override {
    if (!out) return E_POINTER;
    auto* copy = new (std::nothrow) Enumerator(items_);
    if (!copy) return E_OUTOFMEMORY;
    copy->pos_ = pos_;
    *out = copy;
    return S_OK;
  }

 private:
  static IUnknown* Ref(const CONNECTDATA& c) { return c.pUnk; }
  static IUnknown* Ref(IConnectionPoint* p) { return p; }
  std::vector<Item> items_;
  size_t pos_ = 0;
};

using ConnectionsEnum = Enumerator<IEnumConnections, CONNECTDATA, &IID_IEnumConnections>;
using PointsEnum = Enumerator<IEnumConnectionPoints, IConnectionPoint*, &IID_IEnumConnectionPoints>;

}  // namespace

ConnectionPoint::~ConnectionPoint() {
  for (IUnknown* s : slots_)
    if (s) s->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  return QueryFromTable(riid, ppv, {{&IID_IConnectionPoint, this}});
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  container_->AddRef();
  *ppCPC = container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!pUnkSink || !pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  void* sink = nullptr;
  if (FAILED(pUnkSink->QueryInterface(iid_, &sink)) || !sink) return CONNECT_E_CANNOTCONNECT;
  // A new sink always goes last, so that firing order is subscription order.
  slots_.push_back(static_cast<IUnknown*>(sink));
  *pdwCookie = DWORD(slots_.size());
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  if (dwCookie == 0 || dwCookie > slots_.size() || !slots_[dwCookie - 1]) return CONNECT_E_NOCONNECTION;
  IUnknown* sink = slots_[dwCookie - 1];
  slots_[dwCookie - 1] = nullptr;
  sink->Release();
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  std::vector<CONNECTDATA> items;
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i]) items.push_back(CONNECTDATA{slots_[i], DWORD(i + 1)});
  *ppEnum = new (std::nothrow) ConnectionsEnum(std::move(items));
  return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

size_t ConnectionPoint::ConnectionCount() const {
  size_t n = 0;
  for (IUnknown* s : slots_) n += s != nullptr;
  return n;
}

void ConnectionPoint::FireDispatch(DISPID id, const VARIANT* argsInDeclaredOrder, UINT count) {
  std::vector<VARIANT> args(count);
  for (VARIANT& v : args) VariantInit(&v);
  VARIANT result;
  VariantInit(&result);
  const size_t slotsAtStart = slots_.size();
  for (size_t i = 0; i < slotsAtStart && i < slots_.size(); ++i) {
    IUnknown* sink = slots_[i];
    if (!sink) continue;
    sink->AddRef();
    for (UINT k = 0; k < count; ++k) VariantCopy(&args[count - 1 - k], &argsInDeclaredOrder[k]);
    DISPPARAMS params{count ? args.data() : nullptr, nullptr, count, 0};
    VariantClear(&result);
    static_cast<IDispatch*>(sink)->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                          nullptr, nullptr);
    sink->Release();
  }
  for (VARIANT& v : args) VariantClear(&v);
  VariantClear(&result);
}

HRESULT CreateConnectionPointEnumerator(std::vector<IConnectionPoint*> points, IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) PointsEnum(std::move(points));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace plat::com
