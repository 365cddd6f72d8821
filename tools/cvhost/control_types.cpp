#include "control_types.h"

#include <strings.h>

#include "platform/base/utf.h"

namespace cvhost {
namespace {

std::string Utf8(BSTR s) { return s ? plat::ToUtf8(std::u16string_view(s, SysStringLen(s))) : std::string(); }

// Releases a COM pointer at the end of a scope.
template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

std::vector<std::string> Names(ITypeInfo* info, MEMBERID id) {
  BSTR names[64] = {};
  UINT count = 0;
  std::vector<std::string> out;
  if (FAILED(info->GetNames(id, names, 64, &count))) return out;
  for (UINT i = 0; i < count; ++i) {
    out.push_back(Utf8(names[i]));
    SysFreeString(names[i]);
  }
  return out;
}

VARTYPE TypeOf(const TYPEDESC& t) {
  if (t.vt == VT_PTR && t.lptdesc) return VARTYPE(t.lptdesc->vt | VT_BYREF);
  return t.vt;
}

std::vector<MemberInfo> Functions(ITypeInfo* info) {
  std::vector<MemberInfo> out;
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return out;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f))) continue;
    const std::vector<std::string> names = Names(info, f->memid);
    MemberInfo m;
    m.name = names.empty() ? "?" : names[0];
    m.id = f->memid;
    m.kind = f->invkind;
    m.result = TypeOf(f->elemdescFunc.tdesc);
    for (SHORT a = 0; a < f->cParams; ++a) {
      const ELEMDESC& e = f->lprgelemdescParam[a];
      ParamInfo p;
      p.name = size_t(a) + 1 < names.size() ? names[a + 1] : (f->invkind == INVOKE_PROPERTYPUT ? "Value" : "?");
      p.vt = TypeOf(e.tdesc);
      p.flags = e.paramdesc.wParamFlags;
      m.params.push_back(p);
    }
    out.push_back(m);
    info->ReleaseFuncDesc(f);
  }
  info->ReleaseTypeAttr(attr);
  return out;
}

EnumInfo Constants(ITypeInfo* info) {
  EnumInfo e;
  BSTR name = nullptr;
  if (SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr))) e.name = Utf8(name);
  SysFreeString(name);
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return e;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* v = nullptr;
    if (FAILED(info->GetVarDesc(i, &v))) continue;
    const std::vector<std::string> names = Names(info, v->memid);
    VARIANT value;
    VariantInit(&value);
    if (!names.empty() && v->lpvarValue && SUCCEEDED(VariantChangeType(&value, v->lpvarValue, 0, VT_I4)))
      e.constants.emplace_back(names[0], value.lVal);
    info->ReleaseVarDesc(v);
  }
  info->ReleaseTypeAttr(attr);
  return e;
}

const char* TypeName(VARTYPE vt) {
  switch (vt & ~VT_BYREF) {
    case VT_I2: return "Integer";
    case VT_I4: return "Long";
    case VT_BOOL: return "Boolean";
    case VT_BSTR: return "String";
    case VT_R8: return "Double";
    case VT_DATE: return "Date";
    case VT_VARIANT: return "Variant";
    case VT_DISPATCH: return "Object";
    default: return "Variant";
  }
}

std::string Param(const ParamInfo& p) {
  std::string text = (p.flags & PARAMFLAG_FOUT) ? "out " + p.name : p.name;
  if ((p.vt & ~VT_BYREF) != VT_VARIANT) text += std::string(" As ") + TypeName(p.vt);
  return (p.flags & PARAMFLAG_FOPT) ? "[" + text + "]" : text;
}

std::string ParamList(const std::vector<ParamInfo>& params, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += (i ? ", " : "") + Param(params[i]);
  return text;
}

}  // namespace

void ControlTypes::Load(IUnknown* control) {
  Ref<IProvideClassInfo2> provider;
  if (FAILED(control->QueryInterface(IID_IProvideClassInfo2, provider.out()))) return;
  hasEvents_ = SUCCEEDED(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &eventsIid_));
  Ref<ITypeInfo> coclass;
  if (FAILED(provider->GetClassInfo(&coclass.p)) || !coclass.p) return;

  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(coclass->GetTypeAttr(&attr))) {
    const UINT impls = attr->cImplTypes;
    coclass->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < impls; ++i) {
      HREFTYPE ref = 0;
      INT flags = 0;
      Ref<ITypeInfo> itf;
      if (FAILED(coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
          FAILED(coclass->GetRefTypeInfo(ref, &itf.p)))
        continue;
      if (flags & IMPLTYPEFLAG_FSOURCE)
        events_ = Functions(itf.p);
      else if (flags & IMPLTYPEFLAG_FDEFAULT)
        members_ = Functions(itf.p);
    }
  }

  Ref<ITypeLib> lib;
  UINT index = 0;
  if (FAILED(coclass->GetContainingTypeLib(&lib.p, &index))) return;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    TYPEKIND kind;
    Ref<ITypeInfo> info;
    if (SUCCEEDED(lib->GetTypeInfoType(i, &kind)) && kind == TKIND_ENUM && SUCCEEDED(lib->GetTypeInfo(i, &info.p)))
      enums_.push_back(Constants(info.p));
  }
}

const MemberInfo* ControlTypes::Event(DISPID id) const {
  for (const MemberInfo& e : events_)
    if (e.id == id) return &e;
  return nullptr;
}

const MemberInfo* ControlTypes::EventNamed(std::string_view name) const {
  const std::string wanted(name);
  for (const MemberInfo& e : events_)
    if (strcasecmp(e.name.c_str(), wanted.c_str()) == 0) return &e;
  return nullptr;
}

const MemberInfo* ControlTypes::Member(DISPID id, INVOKEKIND kind) const {
  for (const MemberInfo& m : members_)
    if (m.id == id && m.kind == kind) return &m;
  return nullptr;
}

std::optional<int32_t> ControlTypes::Constant(std::string_view name) const {
  const std::string wanted(name);
  for (const EnumInfo& e : enums_)
    for (const auto& [constant, value] : e.constants)
      if (strcasecmp(constant.c_str(), wanted.c_str()) == 0) return value;
  return std::nullopt;
}

void ControlTypes::List(std::FILE* out) const {
  std::fprintf(out, "Properties:\n");
  for (size_t i = 0; i < members_.size(); ++i) {
    const MemberInfo& m = members_[i];
    if (m.kind == INVOKE_FUNC) continue;
    // Each property once, however many of its accessors the interface has.
    bool seen = false;
    for (size_t j = 0; j < i && !seen; ++j) seen = members_[j].id == m.id && members_[j].kind != INVOKE_FUNC;
    if (seen) continue;
    const MemberInfo* get = Member(m.id, INVOKE_PROPERTYGET);
    const MemberInfo* put = Member(m.id, INVOKE_PROPERTYPUT);
    VARTYPE type = get ? get->result : (put && !put->params.empty() ? put->params.back().vt : VARTYPE(VT_VARIANT));
    const std::vector<ParamInfo>& index = get ? get->params : put->params;
    const size_t indexCount = get ? index.size() : index.size() - (index.empty() ? 0 : 1);
    std::string line = "  " + m.name;
    if (indexCount) line += "(" + ParamList(index, indexCount) + ")";
    line += std::string(" As ") + TypeName(type);
    if (!put) line += " (read-only)";
    else if (!get) line += " (write-only)";
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "\nMethods:\n");
  for (const MemberInfo& m : members_) {
    if (m.kind != INVOKE_FUNC) continue;
    std::string line = "  " + m.name + "(" + ParamList(m.params, m.params.size()) + ")";
    if (m.result != VT_VOID && m.result != VT_EMPTY) line += std::string(" As ") + TypeName(m.result);
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "\nEvents:\n");
  for (const MemberInfo& e : events_) {
    std::string args;
    for (size_t i = 0; i < e.params.size(); ++i) args += (i ? ", " : "") + e.params[i].name;
    std::fprintf(out, "  %s(%s)\n", e.name.c_str(), args.c_str());
  }
  std::fprintf(out, "\nConstants:\n");
  for (const EnumInfo& e : enums_) {
    std::fprintf(out, "  %s\n", e.name.c_str());
    for (const auto& [name, value] : e.constants) std::fprintf(out, "    %s = %d\n", name.c_str(), value);
  }
}

}  // namespace cvhost
