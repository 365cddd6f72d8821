// SAFEARRAY: a descriptor (with the element type stored in front of it) and one data block.
// Element content (strings, interfaces, variants) is owned by the array.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/com/com.h"

namespace {

// The element type lives in a header just before the descriptor.
struct Header {
  VARTYPE vt;
  uint16_t pad[3];
  uint64_t pad2;
};
static_assert(sizeof(Header) == 16);

Header* HeaderOf(SAFEARRAY* psa) { return reinterpret_cast<Header*>(reinterpret_cast<uint8_t*>(psa) - sizeof(Header)); }

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    case VT_DECIMAL: return sizeof(DECIMAL);
    default: return 0;
  }
}

USHORT FeaturesFor(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN: return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH: return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
    default: return FADF_HAVEVARTYPE;
  }
}

// Dimension n (1 = first) is stored at rgsabound[cDims - n].
const SAFEARRAYBOUND& Dim(const SAFEARRAY* psa, UINT n) { return psa->rgsabound[psa->cDims - n]; }

bool TotalElements(const SAFEARRAY* psa, size_t& total) {
  total = 1;
  for (UINT i = 0; i < psa->cDims; ++i) {
    size_t n = psa->rgsabound[i].cElements;
    if (n && total > std::numeric_limits<size_t>::max() / n) return false;
    total *= n;
  }
  return total <= std::numeric_limits<size_t>::max() / (psa->cbElements ? psa->cbElements : 1);
}

// Frees the content of count elements starting at data.
void ReleaseElements(SAFEARRAY* psa, uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    void* elem = data + i * psa->cbElements;
    if (psa->fFeatures & FADF_BSTR) {
      SysFreeString(*static_cast<BSTR*>(elem));
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      if (IUnknown* p = *static_cast<IUnknown**>(elem)) p->Release();
    } else if (psa->fFeatures & FADF_VARIANT) {
      VariantClear(static_cast<VARIANT*>(elem));
    }
    std::memset(elem, 0, psa->cbElements);
  }
}

// Copies one element's content into dst (which holds nothing that needs freeing).
HRESULT CopyElement(const SAFEARRAY* psa, const void* src, void* dst) {
  if (psa->fFeatures & FADF_BSTR) {
    BSTR s = *static_cast<const BSTR*>(src);
    BSTR copy = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
    if (s && !copy) return E_OUTOFMEMORY;
    *static_cast<BSTR*>(dst) = copy;
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* p = *static_cast<IUnknown* const*>(src);
    if (p) p->AddRef();
    *static_cast<IUnknown**>(dst) = p;
  } else if (psa->fFeatures & FADF_VARIANT) {
    VariantInit(static_cast<VARIANT*>(dst));
    return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
  } else {
    std::memcpy(dst, src, psa->cbElements);
  }
  return S_OK;
}

HRESULT ElementAddress(SAFEARRAY* psa, const LONG* rgIndices, uint8_t** out) {
  if (!psa || !rgIndices || !out) return E_INVALIDARG;
  size_t offset = 0, stride = 1;
  for (UINT n = 1; n <= psa->cDims; ++n) {
    const SAFEARRAYBOUND& b = Dim(psa, n);
    int64_t rel = int64_t(rgIndices[n - 1]) - b.lLbound;
    if (rel < 0 || rel >= int64_t(b.cElements)) return DISP_E_BADINDEX;
    offset += size_t(rel) * stride;
    stride *= b.cElements;
  }
  *out = static_cast<uint8_t*>(psa->pvData) + offset * psa->cbElements;
  return S_OK;
}

SAFEARRAY* AllocDescriptor(VARTYPE vt, UINT cDims) {
  size_t bytes = sizeof(Header) + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<uint8_t*>(std::calloc(1, bytes));
  if (!block) return nullptr;
  reinterpret_cast<Header*>(block)->vt = vt;
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + sizeof(Header));
  psa->cDims = USHORT(cDims);
  psa->cbElements = ElementSize(vt);
  psa->fFeatures = FeaturesFor(vt);
  return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(HeaderOf(psa)); }

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (cDims == 0 || cDims > 0xFFFF || !rgsabound || ElementSize(vt) == 0) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(vt, cDims);
  if (!psa) return nullptr;
  for (UINT n = 1; n <= cDims; ++n) psa->rgsabound[cDims - n] = rgsabound[n - 1];
  size_t total;
  if (!TotalElements(psa, total)) {
    FreeDescriptor(psa);
    return nullptr;
  }
  if (total) {
    psa->pvData = std::calloc(total, psa->cbElements);
    if (!psa->pvData) {
      FreeDescriptor(psa);
      return nullptr;
    }
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND b{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &b);
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  size_t total;
  if (psa->pvData && TotalElements(psa, total)) ReleaseElements(psa, static_cast<uint8_t*>(psa->pvData), total);
  std::free(psa->pvData);
  psa->pvData = nullptr;
  return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  HRESULT hr = SafeArrayDestroyData(psa);
  if (FAILED(hr)) return hr;
  FreeDescriptor(psa);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  *pvt = HeaderOf(psa)->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = Dim(psa, nDim).lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = Dim(psa, nDim);
  *plUbound = LONG(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (!ppvData) return E_INVALIDARG;
  uint8_t* p;
  HRESULT hr = ElementAddress(psa, rgIndices, &p);
  *ppvData = SUCCEEDED(hr) ? p : nullptr;
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!pv) return E_INVALIDARG;
  uint8_t* p;
  HRESULT hr = ElementAddress(psa, rgIndices, &p);
  if (FAILED(hr)) return hr;
  if (psa->fFeatures & FADF_VARIANT) VariantInit(static_cast<VARIANT*>(pv));
  return CopyElement(psa, p, pv);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  uint8_t* p;
  HRESULT hr = ElementAddress(psa, rgIndices, &p);
  if (FAILED(hr)) return hr;
  // For strings and interfaces pv is the value itself, for the other types its address.
  const void* src = pv;
  BSTR bstr;
  IUnknown* unk;
  if (psa->fFeatures & FADF_BSTR) {
    bstr = static_cast<BSTR>(pv);
    src = &bstr;
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    unk = static_cast<IUnknown*>(pv);
    src = &unk;
  } else if (!pv) {
    return E_INVALIDARG;
  }
  alignas(16) uint8_t fresh[sizeof(DECIMAL) > sizeof(VARIANT) ? sizeof(DECIMAL) : sizeof(VARIANT)] = {};
  if (FAILED(hr = CopyElement(psa, src, fresh))) return hr;
  ReleaseElements(psa, p, 1);
  std::memcpy(p, fresh, psa->cbElements);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  SAFEARRAY* copy = AllocDescriptor(HeaderOf(psa)->vt, psa->cDims);
  if (!copy) return E_OUTOFMEMORY;
  std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
  copy->fFeatures = psa->fFeatures;
  copy->cbElements = psa->cbElements;
  size_t total;
  TotalElements(psa, total);
  if (psa->pvData && total) {
    copy->pvData = std::calloc(total, copy->cbElements);
    if (!copy->pvData) {
      FreeDescriptor(copy);
      return E_OUTOFMEMORY;
    }
    for (size_t i = 0; i < total; ++i) {
      HRESULT hr = CopyElement(psa, static_cast<uint8_t*>(psa->pvData) + i * psa->cbElements,
                               static_cast<uint8_t*>(copy->pvData) + i * copy->cbElements);
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (!psa || !psaboundNew) return E_INVALIDARG;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  size_t oldTotal;
  TotalElements(psa, oldTotal);
  // The last dimension varies slowest, so its change only moves the end of the data.
  SAFEARRAYBOUND old = psa->rgsabound[0];
  psa->rgsabound[0] = *psaboundNew;
  size_t newTotal;
  if (!TotalElements(psa, newTotal)) {
    psa->rgsabound[0] = old;
    return E_OUTOFMEMORY;
  }
  if (newTotal < oldTotal)
    ReleaseElements(psa, static_cast<uint8_t*>(psa->pvData) + newTotal * psa->cbElements, oldTotal - newTotal);
  if (newTotal == 0) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
    return S_OK;
  }
  void* grown = std::realloc(psa->pvData, newTotal * psa->cbElements);
  if (!grown) {
    psa->rgsabound[0] = old;  // the freed tail elements are zero now, still valid
    return E_OUTOFMEMORY;
  }
  psa->pvData = grown;
  if (newTotal > oldTotal)
    std::memset(static_cast<uint8_t*>(grown) + oldTotal * psa->cbElements, 0, (newTotal - oldTotal) * psa->cbElements);
  return S_OK;
}
