// In-memory type libraries built from a control's description. Every record a host is handed
// (TYPEATTR, FUNCDESC, VARDESC, TLIBATTR) is built once with the library and lives as long as
// it, so the Release calls have nothing to free. A type's reference count is its library's.
#include "platform/com/type_library.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/base/utf.h"
#include "platform/com/com.h"

namespace plat::com {
namespace {

constexpr HREFTYPE kNoRef = ~HREFTYPE(0);
constexpr UINT kDefaultInterface = ~UINT(0);  // GetRefTypeOfImplType(-1): the other view of a dual
constexpr MEMBERID kFirstConstantId = 0x40000000;
constexpr WORD kSlotSize = sizeof(void*);
constexpr WORD kDispatchSlots = 7;  // IUnknown's three and IDispatch's four

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = char16_t(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = char16_t(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

std::vector<std::u16string> SplitNames(const char* list) {
  std::vector<std::u16string> names;
  std::string one;
  auto flush = [&] {
    while (!one.empty() && one.back() == ' ') one.pop_back();
    names.push_back(ToUtf16(one));
    one.clear();
  };
  if (!list || !*list) return names;
  for (const char* p = list; *p; ++p) {
    if (*p == ',') {
      flush();
    } else if (*p != ' ' || !one.empty()) {
      one += *p;
    }
  }
  flush();
  return names;
}

HRESULT CopyName(const std::u16string& from, BSTR* to) {
  if (!to) return S_OK;
  *to = from.empty() ? nullptr : SysAllocStringLen(from.data(), UINT(from.size()));
  return from.empty() || *to ? S_OK : E_OUTOFMEMORY;
}

INVOKEKIND InvokeKindOf(Kind kind) {
  switch (kind) {
    case Kind::GET: return INVOKE_PROPERTYGET;
    case Kind::PUT: return INVOKE_PROPERTYPUT;
    case Kind::METHOD: break;
  }
  return INVOKE_FUNC;
}

class Library;

struct Func {
  FUNCDESC desc{};
  std::vector<ELEMDESC> params;
  std::vector<std::u16string> names;  // the member's name, then its arguments' names
};

struct Constant {
  VARDESC desc{};
  VARIANT value{};
  std::u16string name;
};

struct Impl {
  HREFTYPE ref;
  int flags;
};

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(Library* library, UINT index) : library_(library), index_(index) {
    attr.memidConstructor = MEMBERID_NIL;
    attr.memidDestructor = MEMBERID_NIL;
  }

  TYPEATTR attr{};
  std::u16string name;
  std::u16string doc;
  std::vector<Func> funcs;
  std::vector<Constant> constants;
  std::vector<Impl> impls;
  HREFTYPE otherView = kNoRef;  // the dispatch and vtable views of a dual interface name each other

  UINT index() const { return index_; }

  // Points every record at its parts once the vectors have their final size.
  void Seal() {
    attr.cFuncs = WORD(funcs.size());
    attr.cVars = WORD(constants.size());
    attr.cImplTypes = WORD(impls.size());
    for (Func& f : funcs) {
      f.desc.cParams = SHORT(f.params.size());
      f.desc.lprgelemdescParam = f.params.empty() ? nullptr : f.params.data();
    }
    for (Constant& c : constants) c.desc.lpvarValue = &c.value;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeInfo)) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITypeInfo*>(this);
    return S_OK;
  }
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** out) override {
    if (!out) return E_INVALIDARG;
    *out = &attr;
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = &funcs[index].desc;
    return S_OK;
  }
  HRESULT GetVarDesc(UINT index, VARDESC** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= constants.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = &constants[index].desc;
    return S_OK;
  }
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) override {
    if (!names || !count) return E_INVALIDARG;
    *count = 0;
    const std::vector<std::u16string>* list = nullptr;
    std::vector<std::u16string> single;
    if (const Func* f = FindFunc(memid)) {
      list = &f->names;
    } else if (const Constant* c = FindConstant(memid)) {
      single.push_back(c->name);
      list = &single;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    for (const std::u16string& n : *list) {
      if (*count >= max) break;
      if (HRESULT hr = CopyName(n, &names[*count]); FAILED(hr)) return hr;
      ++*count;
    }
    return S_OK;
  }
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* out) override {
    if (!out) return E_INVALIDARG;
    if (index == kDefaultInterface && otherView != kNoRef) {
      *out = otherView;
      return S_OK;
    }
    if (index >= impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = impls[index].ref;
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* out) override {
    if (!out) return E_INVALIDARG;
    if (index >= impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = impls[index].flags;
    return S_OK;
  }
  // The first name is a member, the others that member's arguments (their positions).
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = MEMBERID_NIL;
    if (!names[0]) return DISP_E_UNKNOWNNAME;
    const std::u16string_view wanted(names[0], WideLength(names[0]));
    for (const Constant& c : constants) {
      if (!SameName(c.name, wanted)) continue;
      ids[0] = c.desc.memid;
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
    const Func* found = nullptr;
    for (const Func& f : funcs) {
      if (SameName(f.names[0], wanted)) {
        found = &f;
        break;
      }
    }
    if (!found) return DISP_E_UNKNOWNNAME;
    ids[0] = found->desc.memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
      const std::u16string_view arg(names[i] ? names[i] : u"", names[i] ? WideLength(names[i]) : 0);
      for (size_t a = 1; a < found->names.size(); ++a)
        if (SameName(found->names[a], arg)) ids[i] = MEMBERID(a - 1);
      if (ids[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  // Every interface described here is dispatchable: the call goes through the instance's
  // IDispatch, which runs the same member table.
  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* ei,
                 UINT* argErr) override {
    if (attr.typekind != TKIND_DISPATCH && attr.typekind != TKIND_INTERFACE) return TYPE_E_BADMODULEKIND;
    if (!instance) return E_INVALIDARG;
    return static_cast<IDispatch*>(instance)->Invoke(memid, IID_NULL, 0, flags, params, result, ei, argErr);
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* nameOut, BSTR* docOut, DWORD* context, BSTR* helpFile) override {
    if (context) *context = 0;
    if (helpFile) *helpFile = nullptr;
    if (docOut) *docOut = nullptr;
    if (nameOut) *nameOut = nullptr;
    if (memid == MEMBERID_NIL) {
      if (HRESULT hr = CopyName(name, nameOut); FAILED(hr)) return hr;
      return CopyName(doc, docOut);
    }
    if (const Func* f = FindFunc(memid)) return CopyName(f->names[0], nameOut);
    if (const Constant* c = FindConstant(memid)) return CopyName(c->name, nameOut);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll, BSTR* entry, WORD* ordinal) override {
    if (dll) *dll = nullptr;
    if (entry) *entry = nullptr;
    if (ordinal) *ordinal = 0;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** out) override {
    if (out) *out = nullptr;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (attr.typekind != TKIND_COCLASS) return TYPE_E_BADMODULEKIND;
    return CoCreateInstance(attr.guid, outer, CLSCTX_INPROC_SERVER, riid, out);
  }
  HRESULT GetMops(MEMBERID, BSTR* out) override {
    if (out) *out = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** out, UINT* index) override;
  void ReleaseTypeAttr(TYPEATTR*) override {}
  void ReleaseFuncDesc(FUNCDESC*) override {}
  void ReleaseVarDesc(VARDESC*) override {}

  const Func* FindFunc(MEMBERID memid) const {
    for (const Func& f : funcs)
      if (f.desc.memid == memid) return &f;
    return nullptr;
  }
  const Constant* FindConstant(MEMBERID memid) const {
    for (const Constant& c : constants)
      if (c.desc.memid == memid) return &c;
    return nullptr;
  }

 private:
  Library* library_;
  UINT index_;
};

class Library final : public ITypeLib {
 public:
  explicit Library(const TypeLibDesc& desc) { Build(desc); }

  UINT classIndex = 0;
  UINT dualIndex = 0;
  UINT eventsIndex = 0;

  TypeInfo* Info(HREFTYPE ref) { return ref < infos_.size() ? &infos_[ref] : nullptr; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeLib)) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITypeLib*>(this);
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  // The library is kept for the life of the process by the cache, so it never reaches 0.
  ULONG Release() override { return --refs_; }

  UINT GetTypeInfoCount() override { return visible_; }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (index >= visible_) return TYPE_E_ELEMENTNOTFOUND;
    infos_[index].AddRef();
    *out = &infos_[index];
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (!kind) return E_INVALIDARG;
    if (index >= visible_) return TYPE_E_ELEMENTNOTFOUND;
    *kind = infos_[index].attr.typekind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (IsEqualGUID(guid, GUID_NULL)) return TYPE_E_ELEMENTNOTFOUND;
    for (UINT i = 0; i < visible_; ++i) {
      if (IsEqualGUID(infos_[i].attr.guid, guid)) return GetTypeInfo(i, out);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** out) override {
    if (!out) return E_INVALIDARG;
    *out = &attr_;
    return S_OK;
  }
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(INT index, BSTR* nameOut, BSTR* docOut, DWORD* context, BSTR* helpFile) override {
    if (index == -1) {
      if (context) *context = 0;
      if (helpFile) *helpFile = nullptr;
      if (docOut) *docOut = nullptr;
      return CopyName(name_, nameOut);
    }
    if (index < 0 || UINT(index) >= visible_) return TYPE_E_ELEMENTNOTFOUND;
    return infos_[UINT(index)].GetDocumentation(MEMBERID_NIL, nameOut, docOut, context, helpFile);
  }
  // A type or member of that name exists; the buffer then receives the library's spelling.
  HRESULT IsName(LPOLESTR buffer, ULONG, BOOL* found) override {
    if (!buffer || !found) return E_INVALIDARG;
    *found = 0;
    const std::u16string_view wanted(buffer, WideLength(buffer));
    auto take = [&](const std::u16string& n) {
      if (*found || !SameName(n, wanted)) return;
      n.copy(buffer, n.size());
      *found = 1;
    };
    for (UINT i = 0; i < visible_; ++i) {
      take(infos_[i].name);
      for (const Func& f : infos_[i].funcs) take(f.names[0]);
      for (const Constant& c : infos_[i].constants) take(c.name);
    }
    return S_OK;
  }
  // Up to *count types or members of that name: the type and the member's id (MEMBERID_NIL
  // for a type itself); *count receives the number found.
  HRESULT FindName(LPOLESTR buffer, ULONG, ITypeInfo** types, MEMBERID* ids, USHORT* count) override {
    if (!buffer || !types || !ids || !count) return E_INVALIDARG;
    const std::u16string_view wanted(buffer, WideLength(buffer));
    const USHORT max = *count;
    USHORT n = 0;
    auto add = [&](TypeInfo& info, MEMBERID id) {
      if (n >= max) return;
      info.AddRef();
      types[n] = &info;
      ids[n] = id;
      ++n;
    };
    for (UINT i = 0; i < visible_; ++i) {
      TypeInfo& info = infos_[i];
      if (SameName(info.name, wanted)) add(info, MEMBERID_NIL);
      for (const Func& f : info.funcs) {
        if (SameName(f.names[0], wanted)) {
          add(info, f.desc.memid);
          break;  // a property's get and put are one member
        }
      }
      for (const Constant& c : info.constants)
        if (SameName(c.name, wanted)) add(info, c.desc.memid);
    }
    *count = n;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR*) override {}

 private:
  TypeInfo& NewInfo(TYPEKIND kind, const char* name, const GUID& guid) {
    TypeInfo& info = infos_.emplace_back(this, UINT(infos_.size()));
    info.attr.typekind = kind;
    info.attr.guid = guid;
    info.attr.wMajorVerNum = attr_.wMajorVerNum;
    info.attr.wMinorVerNum = attr_.wMinorVerNum;
    info.attr.cbSizeInstance = kSlotSize;
    info.attr.cbAlignment = kSlotSize;
    info.name = ToUtf16(name ? name : "");
    return info;
  }

  TYPEDESC Describe(VARTYPE vt) {
    TYPEDESC d{};
    if (vt & VT_BYREF) {
      TYPEDESC& target = pointees_.emplace_back();
      target.vt = VARTYPE(vt & ~VT_BYREF);
      d.lptdesc = &target;
      d.vt = VT_PTR;
    } else {
      d.vt = vt;
    }
    return d;
  }

  // The functions of a member table. The dispatch view returns a property's value and leaves
  // out the result argument; the vtable view returns HRESULT and keeps every argument.
  void AddFunctions(TypeInfo& info, const DispTable& table, bool vtable) {
    for (size_t i = 0; i < table.count; ++i) {
      const DispMember& m = table.members[i];
      Func& f = info.funcs.emplace_back();
      f.names = SplitNames(m.params);
      f.names.insert(f.names.begin(), ToUtf16(m.name));
      size_t declared = m.typeCount;
      VARTYPE result = vtable ? VARTYPE(VT_HRESULT) : VARTYPE(VT_VOID);
      if (!vtable && m.kind == Kind::GET && declared > 0) {
        --declared;
        result = VARTYPE(m.types[declared].vt & ~VT_BYREF);
      }
      for (size_t a = 0; a < declared; ++a) {
        ELEMDESC e{};
        e.tdesc = Describe(m.types[a].vt);
        e.paramdesc.wParamFlags = m.types[a].flags;
        f.params.push_back(e);
      }
      f.desc.memid = m.id;
      f.desc.funckind = vtable ? FUNC_PUREVIRTUAL : FUNC_DISPATCH;
      f.desc.invkind = InvokeKindOf(m.kind);
      f.desc.callconv = CC_STDCALL;
      f.desc.oVft = vtable ? SHORT((kDispatchSlots + i) * kSlotSize) : 0;
      f.desc.elemdescFunc.tdesc = Describe(result);
    }
    info.attr.cbSizeVft = WORD((kDispatchSlots + (vtable ? table.count : 0)) * kSlotSize);
  }

  void AddEnum(const TypeEnum& e) {
    TypeInfo& info = NewInfo(TKIND_ENUM, e.name, GUID_NULL);
    info.attr.cbSizeInstance = sizeof(int32_t);
    info.attr.cbAlignment = sizeof(int32_t);
    MEMBERID id = kFirstConstantId;
    for (const TypeConstant& k : e.constants) {
      Constant& c = info.constants.emplace_back();
      c.name = ToUtf16(k.name);
      c.value.vt = VT_I4;
      c.value.lVal = k.value;
      c.desc.memid = id++;
      c.desc.elemdescVar.tdesc.vt = VT_I4;
      c.desc.varkind = VAR_CONST;
    }
    const HREFTYPE enumRef = info.index();
    if (e.alias) {
      TypeInfo& alias = NewInfo(TKIND_ALIAS, e.alias, GUID_NULL);
      alias.attr.tdescAlias.vt = VT_USERDEFINED;
      alias.attr.tdescAlias.hreftype = enumRef;
      alias.attr.cbSizeInstance = sizeof(int32_t);
      alias.attr.cbAlignment = sizeof(int32_t);
    }
  }

  void Build(const TypeLibDesc& desc) {
    attr_.guid = desc.libid;
    attr_.syskind = SYS_WIN64;
    attr_.wMajorVerNum = desc.majorVersion;
    attr_.wMinorVerNum = desc.minorVersion;
    attr_.wLibFlags = LIBFLAG_FCONTROL;
    name_ = ToUtf16(desc.name);

    for (const TypeEnum& e : desc.enums) AddEnum(e);

    TypeInfo& dual = NewInfo(TKIND_DISPATCH, desc.dual.name, desc.dual.iid);
    dualIndex = dual.index();
    dual.attr.wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FOLEAUTOMATION;
    AddFunctions(dual, *desc.dual.table, false);

    TypeInfo& events = NewInfo(TKIND_DISPATCH, desc.events.name, desc.events.iid);
    eventsIndex = events.index();
    events.attr.wTypeFlags = TYPEFLAG_FDISPATCHABLE;
    AddFunctions(events, *desc.events.table, false);

    TypeInfo& coclass = NewInfo(TKIND_COCLASS, desc.className, desc.clsid);
    classIndex = coclass.index();
    coclass.doc = ToUtf16(desc.classDoc ? desc.classDoc : "");
    coclass.attr.wTypeFlags = TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL;
    coclass.impls.push_back({dualIndex, IMPLTYPEFLAG_FDEFAULT});
    coclass.impls.push_back({eventsIndex, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE});
    visible_ = UINT(infos_.size());

    // The vtable view of the dual interface is reached only through its dispatch view.
    TypeInfo& vtable = NewInfo(TKIND_INTERFACE, desc.dual.name, desc.dual.iid);
    vtable.attr.wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
    AddFunctions(vtable, *desc.dual.table, true);
    vtable.otherView = dualIndex;
    infos_[dualIndex].otherView = vtable.index();

    for (TypeInfo& info : infos_) info.Seal();
  }

  std::atomic<ULONG> refs_{1};
  TLIBATTR attr_{};
  std::u16string name_;
  std::deque<TypeInfo> infos_;  // a deque: the types' addresses stay put while it grows
  std::deque<TYPEDESC> pointees_;
  UINT visible_ = 0;
};

ULONG TypeInfo::AddRef() { return library_->AddRef(); }
ULONG TypeInfo::Release() { return library_->Release(); }

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  TypeInfo* info = library_->Info(ref);
  if (!info) return TYPE_E_ELEMENTNOTFOUND;
  info->AddRef();
  *out = info;
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** out, UINT* index) {
  if (!out) return E_INVALIDARG;
  library_->AddRef();
  *out = library_;
  if (index) *index = index_;
  return S_OK;
}

Library* LibraryOf(const TypeLibDesc& desc) {
  static std::mutex lock;
  static std::map<const TypeLibDesc*, Library*>* libraries = new std::map<const TypeLibDesc*, Library*>;
  std::lock_guard<std::mutex> guard(lock);
  Library*& lib = (*libraries)[&desc];
  if (!lib) lib = new Library(desc);  // the process keeps it: hosts may hold its types to the end
  return lib;
}

}  // namespace

HRESULT GetTypeLibOf(const TypeLibDesc& desc, ITypeLib** lib) {
  if (!lib) return E_POINTER;
  Library* library = LibraryOf(desc);
  library->AddRef();
  *lib = library;
  return S_OK;
}

HRESULT GetTypeInfoOf(const TypeLibDesc& desc, TypeLibPart part, ITypeInfo** info) {
  if (!info) return E_POINTER;
  Library* library = LibraryOf(desc);
  const UINT index = part == TypeLibPart::Class  ? library->classIndex
                     : part == TypeLibPart::Dual ? library->dualIndex
                                                 : library->eventsIndex;
  return library->GetTypeInfo(index, info);
}

}  // namespace plat::com
