// Invoke over a member table: argument checks, reversed arguments, missing optional ones,
// coercion, and failures turned into DISP_E_EXCEPTION with the thread's error object.
#include "platform/com/dispatch.h"

#include <vector>

namespace plat::com {
namespace {

bool NameEquals(const char* a, const OLECHAR* b) {
  for (; *a && *b; ++a, ++b) {
    char16_t x = char16_t(*a), y = *b;
    if (x >= u'A' && x <= u'Z') x = char16_t(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = char16_t(y - u'A' + u'a');
    if (x != y) return false;
  }
  return *a == 0 && *b == 0;
}

// A method and a property read are asked for together by most hosts: a method wins.
const DispMember* Find(const DispTable& t, DISPID id, WORD flags) {
  const DispMember* get = nullptr;
  for (size_t i = 0; i < t.count; ++i) {
    const DispMember& m = t.members[i];
    if (m.id != id) continue;
    if (m.kind == Kind::PUT && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) return &m;
    if (m.kind == Kind::METHOD && (flags & DISPATCH_METHOD)) return &m;
    if (m.kind == Kind::GET && (flags & DISPATCH_PROPERTYGET)) get = &m;
  }
  return get;
}

void FillException(HRESULT hr, EXCEPINFO* ei) {
  *ei = EXCEPINFO{};
  ei->scode = hr;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetSource(&ei->bstrSource);
    info->GetDescription(&ei->bstrDescription);
    info->GetHelpFile(&ei->bstrHelpFile);
    info->GetHelpContext(&ei->dwHelpContext);
    SetErrorInfo(0, info);  // the host may still ask GetErrorInfo
    info->Release();
  }
}

}  // namespace

bool IsMissing(const VARIANT* v) { return !v || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND); }

HRESULT Coerce(const VARIANT* src, VARTYPE vt, VARIANT& out) {
  if (!src) return DISP_E_PARAMNOTOPTIONAL;
  if ((src->vt & VT_BYREF) && !src->byref) return E_INVALIDARG;
  return VariantChangeType(&out, src, 0, vt);
}

HRESULT DispGetIDsOfNames(const DispTable& table, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (!names[0]) return DISP_E_UNKNOWNNAME;
  for (size_t i = 0; i < table.count; ++i) {
    if (NameEquals(table.members[i].name, names[0])) {
      ids[0] = table.members[i].id;
      // Named arguments are not offered: any further names stay unknown.
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT DispInvokeTable(const DispTable& table, void* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!params || (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
      params->cNamedArgs > params->cArgs)
    return E_INVALIDARG;
  const DispMember* m = Find(table, id, flags);
  if (!m) return DISP_E_MEMBERNOTFOUND;

  DispArgs args{};
  UINT given = params->cArgs;
  if (m->kind == Kind::PUT) {
    if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
    args.putValue = &params->rgvarg[0];
    args.putIndex = 0;
    --given;
  } else if (params->cNamedArgs) {
    return DISP_E_NONAMEDARGS;
  }
  if (given < m->required || given > m->positional) return DISP_E_BADPARAMCOUNT;

  // Arguments arrive last first; a PUT's value sits at index 0 before them.
  std::vector<VARIANT*> positional(m->positional, nullptr);
  std::vector<UINT> index(m->positional, 0);
  UINT first = m->kind == Kind::PUT ? 1 : 0;
  for (UINT i = 0; i < given; ++i) {
    index[i] = first + given - 1 - i;
    positional[i] = &params->rgvarg[index[i]];
  }
  args.positional = positional.data();
  args.argIndex = index.data();

  for (UINT i = 0; i < params->cArgs; ++i) {
    const VARIANT& v = params->rgvarg[i];
    if ((v.vt & VT_BYREF) && !v.byref) {
      if (argErr) *argErr = i;
      return E_INVALIDARG;
    }
  }
  if (result) VariantInit(result);
  SetErrorInfo(0, nullptr);  // what follows a failure must be this call's error object
  bool argFailed = false;
  HRESULT hr = m->call(self, args, result, argErr, &argFailed);
  if (FAILED(hr) && !argFailed) {
    if (excepInfo) FillException(hr, excepInfo);
    return DISP_E_EXCEPTION;
  }
  return hr;
}

}  // namespace plat::com
