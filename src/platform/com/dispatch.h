#pragma once
// The generic dispatcher. One member list per dual interface yields the pure virtual
// interface (slots in list order after IDispatch's seven), its dispatch table and, through
// the table, its type information:
//
//   #define IFOO_MEMBERS(X)
//     X(METHOD, About, -552, "")
//     X(GET, Name, 1, "", plat::com::p::BstrOut)
//     X(PUT, Name, 1, "", plat::com::p::Bstr)
//     X(GET, Item, 2, "Index", plat::com::p::I4, plat::com::p::I4Out)   (indexed: the index first)
//     X(METHOD, Run, 3, "Command,Error", plat::com::p::Var, plat::com::p::VarRef)
//   (each line ending in a backslash)
//   CV_DISPATCH_INTERFACE(IFoo, IFOO_MEMBERS)
//
// The text names the declared arguments, comma-separated, besides a GET's result and a PUT's
// value; the compiler checks that there are as many names as such arguments.
// Parameter kinds: I4, Bool, Bstr, R8 (required, coerced with VariantChangeType), Var (an
// optional VARIANT by value; missing is VT_ERROR/DISP_E_PARAMNOTFOUND), VarRef (an optional
// VARIANT* result: null when missing; a VT_BYREF|VT_VARIANT argument gives the caller's
// VARIANT). A GET's last kind is its result: I4Out, BoolOut, BstrOut, R8Out, VarOut. A PUT's
// last kind is the value, passed as the DISPID_PROPERTYPUT named argument.
//
// An event interface is a list of the same form without kinds of member (every event is a
// method the source calls on its sinks):
//   #define FOO_EVENTS(X)
//     X(OnError, 1, "ErrorCode,Description", plat::com::p::Var, plat::com::p::Var)
//   CV_EVENT_INTERFACE(FooEvents, FOO_EVENTS)
#include <cstring>
#include <tuple>
#include <utility>

#include "platform/com/com.h"

namespace plat::com {

enum class Kind : uint8_t { METHOD, GET, PUT };

struct DispMember;
// Positional arguments in declared order (null when absent), the put value, and for each
// positional argument its index in rgvarg (for puArgErr).
struct DispArgs {
  VARIANT** positional;
  UINT* argIndex;
  VARIANT* putValue;
  UINT putIndex;
};
// *argFailed tells an argument that could not be taken from a failure of the member itself.
using DispCall = HRESULT (*)(void* self, const DispArgs& args, VARIANT* result, UINT* argErr, bool* argFailed);

// How one argument appears in the type information: its type (VT_BYREF for a pointer to
// that type) and its PARAMFLAG_ bits.
struct ParamType {
  VARTYPE vt;
  uint16_t flags;
};

struct DispMember {
  const char* name;
  DISPID id;
  Kind kind;
  uint16_t positional;  // declared arguments besides a GET's result and a PUT's value
  uint16_t required;    // leading positional arguments that may not be missing
  DispCall call;        // null in an event interface
  const char* params;   // the positional arguments' names, comma-separated
  const ParamType* types;  // every argument in declared order, a GET's result and a PUT's value included
  uint16_t typeCount;
};

struct DispTable {
  const DispMember* members;
  size_t count;
};

HRESULT DispGetIDsOfNames(const DispTable& table, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispInvokeTable(const DispTable& table, void* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

// Coerces src (by-reference followed) to vt into out; the caller clears out.
HRESULT Coerce(const VARIANT* src, VARTYPE vt, VARIANT& out);
bool IsMissing(const VARIANT* v);

namespace p {

inline constexpr uint16_t kIn = 0x1;        // PARAMFLAG_FIN
inline constexpr uint16_t kOut = 0x2;       // PARAMFLAG_FOUT
inline constexpr uint16_t kRetval = 0x8;    // PARAMFLAG_FRETVAL
inline constexpr uint16_t kOptional = 0x10; // PARAMFLAG_FOPT

template <VARTYPE VT, class T, T VARIANT::*Field>
struct Typed {
  using type = T;
  static constexpr bool optional = false;
  static constexpr ParamType param{VT, kIn};
  struct Holder {
    VARIANT v{};
    ~Holder() { VariantClear(&v); }
    HRESULT Load(VARIANT* src) {
      if (IsMissing(src)) return DISP_E_PARAMNOTOPTIONAL;
      return Coerce(src, VT, v);
    }
    T get() { return v.*Field; }
  };
};
using I4 = Typed<VT_I4, int32_t, &VARIANT::lVal>;
using Bool = Typed<VT_BOOL, VARIANT_BOOL, &VARIANT::boolVal>;
using Bstr = Typed<VT_BSTR, BSTR, &VARIANT::bstrVal>;
using R8 = Typed<VT_R8, double, &VARIANT::dblVal>;

struct Var {
  using type = VARIANT;
  static constexpr bool optional = true;
  static constexpr ParamType param{VT_VARIANT, kIn | kOptional};
  struct Holder {
    VARIANT v{};
    HRESULT Load(VARIANT* src) {
      if (!src) {
        v.vt = VT_ERROR;
        v.scode = DISP_E_PARAMNOTFOUND;
      } else {
        // By value means borrowed: the caller keeps ownership of what it passed.
        v = src->vt == (VT_BYREF | VT_VARIANT) && src->pvarVal ? *src->pvarVal : *src;
      }
      return S_OK;
    }
    VARIANT get() { return v; }
  };
};

struct VarRef {
  using type = VARIANT*;
  static constexpr bool optional = true;
  static constexpr ParamType param{VT_VARIANT | VT_BYREF, kIn | kOut | kOptional};
  struct Holder {
    VARIANT local{};
    VARIANT* target = nullptr;
    ~Holder() { VariantClear(&local); }
    HRESULT Load(VARIANT* src) {
      if (IsMissing(src)) return S_OK;
      if (src->vt == (VT_BYREF | VT_VARIANT)) {
        if (!src->pvarVal) return E_INVALIDARG;
        target = src->pvarVal;
        return S_OK;
      }
      // Anything else gets a private copy: a by-value argument cannot carry a result back,
      // while a typed by-reference one still reaches the caller through its pointer.
      HRESULT hr = VariantCopy(&local, src);
      target = &local;
      return hr;
    }
    VARIANT* get() { return target; }
  };
};

template <VARTYPE VT, class T, T VARIANT::*Field>
struct TypedOut {
  using type = T*;
  static constexpr bool optional = false;
  static constexpr ParamType param{VT | VT_BYREF, kOut | kRetval};
  struct Holder {
    VARIANT v{};
    Holder() { v.vt = VT; }
    ~Holder() { VariantClear(&v); }
    HRESULT Load(VARIANT*) { return S_OK; }
    T* get() { return &(v.*Field); }
    void Store(VARIANT* result) {
      if (!result) return;
      *result = v;
      VariantInit(&v);
    }
  };
};
using I4Out = TypedOut<VT_I4, int32_t, &VARIANT::lVal>;
using BoolOut = TypedOut<VT_BOOL, VARIANT_BOOL, &VARIANT::boolVal>;
using BstrOut = TypedOut<VT_BSTR, BSTR, &VARIANT::bstrVal>;
using R8Out = TypedOut<VT_R8, double, &VARIANT::dblVal>;

struct VarOut {
  using type = VARIANT*;
  static constexpr bool optional = false;
  static constexpr ParamType param{VT_VARIANT | VT_BYREF, kOut | kRetval};
  struct Holder {
    VARIANT v{};
    ~Holder() { VariantClear(&v); }
    HRESULT Load(VARIANT*) { return S_OK; }
    VARIANT* get() { return &v; }
    void Store(VARIANT* result) {
      if (!result) return;
      *result = v;
      VariantInit(&v);
    }
  };
};

}  // namespace p

template <class... T>
using Sig = HRESULT(typename T::type...);

template <Kind K, class... T>
constexpr uint16_t PositionalCount() {
  return uint16_t(sizeof...(T) - (K == Kind::METHOD || sizeof...(T) == 0 ? 0 : 1));
}

template <Kind K, class... T>
constexpr uint16_t RequiredCount() {
  constexpr bool opt[] = {T::optional..., true};
  uint16_t n = 0;
  while (n < PositionalCount<K, T...>() && !opt[n]) ++n;
  return n;
}

template <class... T>
struct ParamTypes {
  static constexpr ParamType value[] = {T::param..., ParamType{VT_EMPTY, 0}};  // never empty
  static constexpr uint16_t count = sizeof...(T);
};

// The number of comma-separated names in a list ("" names none).
consteval uint16_t CountNames(const char* names) {
  if (!*names) return 0;
  uint16_t n = 1;
  for (; *names; ++names)
    if (*names == ',') ++n;
  return n;
}

// The names, when they are as many as the positional arguments; anything else does not compile.
template <uint16_t N>
consteval const char* CheckedNames(const char* names) {
  if (CountNames(names) != N) throw "the member list names more or fewer arguments than its kinds declare";
  return names;
}

template <class I, auto Fn, Kind K, class... T>
HRESULT Call(void* self, const DispArgs& args, VARIANT* result, UINT* argErr, bool* argFailed) {
  constexpr size_t n = sizeof...(T);
  constexpr size_t positional = PositionalCount<K, T...>();
  std::tuple<typename T::Holder...> h;
  HRESULT hr = S_OK;
  auto load = [&]<size_t... Is>(std::index_sequence<Is...>) {
    auto one = [&](auto& holder, size_t i) {
      if (FAILED(hr)) return;
      VARIANT* src = i < positional ? args.positional[i] : (K == Kind::PUT ? args.putValue : nullptr);
      hr = holder.Load(src);
      if (FAILED(hr) && argErr) *argErr = i < positional ? args.argIndex[i] : args.putIndex;
    };
    (void)one;  // members without arguments
    (one(std::get<Is>(h), Is), ...);
  };
  load(std::make_index_sequence<n>());
  if (FAILED(hr)) {
    *argFailed = true;
    return hr;
  }
  I* target = static_cast<I*>(self);
  hr = std::apply([&](auto&... x) { return (target->*Fn)(x.get()...); }, h);
  if constexpr (K == Kind::GET && n > 0) {
    if (SUCCEEDED(hr)) std::get<n - 1>(h).Store(result);
  }
  return hr;
}

// IDispatch over the table of a CV_DISPATCH_INTERFACE; type information is not offered.
template <class Iface>
class DispatchImpl : public Iface {
 public:
  HRESULT GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispGetIDsOfNames(Iface::DispatchTable(), riid, names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                 UINT* argErr) override {
    return DispInvokeTable(Iface::DispatchTable(), static_cast<Iface*>(this), id, riid, flags, params, result,
                           excepInfo, argErr);
  }
};

}  // namespace plat::com

#define CV_DISP_NAME_METHOD(name) name
#define CV_DISP_NAME_GET(name) get_##name
#define CV_DISP_NAME_PUT(name) put_##name
#define CV_DISP_SLOT(kind, name, id, names, ...) \
  virtual ::plat::com::Sig<__VA_ARGS__> CV_DISP_NAME_##kind(name) = 0;
#define CV_DISP_DESCRIPTION(kind, names, ...)                                                                    \
  ::plat::com::CheckedNames<::plat::com::PositionalCount<::plat::com::Kind::kind __VA_OPT__(, ) __VA_ARGS__>()>( \
      names),                                                                                                   \
      ::plat::com::ParamTypes<__VA_ARGS__>::value, ::plat::com::ParamTypes<__VA_ARGS__>::count
#define CV_DISP_ENTRY(kind, name, id, names, ...)                                                   \
  {#name, id, ::plat::com::Kind::kind, ::plat::com::PositionalCount<::plat::com::Kind::kind __VA_OPT__(, ) __VA_ARGS__>(), \
   ::plat::com::RequiredCount<::plat::com::Kind::kind __VA_OPT__(, ) __VA_ARGS__>(),                \
   &::plat::com::Call<Self, &Self::CV_DISP_NAME_##kind(name), ::plat::com::Kind::kind __VA_OPT__(, ) __VA_ARGS__>, \
   CV_DISP_DESCRIPTION(kind, names __VA_OPT__(, ) __VA_ARGS__)},
#define CV_EVENT_ENTRY(name, id, names, ...)                                                                  \
  {#name, id, ::plat::com::Kind::METHOD, ::plat::com::PositionalCount<::plat::com::Kind::METHOD __VA_OPT__(, ) __VA_ARGS__>(), \
   0, nullptr, CV_DISP_DESCRIPTION(METHOD, names __VA_OPT__(, ) __VA_ARGS__)},

#define CV_DISPATCH_INTERFACE(Iface, MEMBERS)                                      \
  struct Iface : public IDispatch {                                                \
    using Self = Iface;                                                            \
    MEMBERS(CV_DISP_SLOT)                                                          \
    static const ::plat::com::DispTable& DispatchTable() {                         \
      static const ::plat::com::DispMember members[] = {MEMBERS(CV_DISP_ENTRY)};   \
      static const ::plat::com::DispTable table{members, sizeof members / sizeof members[0]}; \
      return table;                                                                \
    }                                                                              \
  };

// Names the events' dispatch identifiers kEvent<name> (inside an enumeration).
#define CV_EVENT_ID(name, id, ...) kEvent##name = id,

// The description of an outgoing interface: its events with their arguments' names and kinds.
#define CV_EVENT_INTERFACE(Name, EVENTS)                                           \
  struct Name {                                                                    \
    static const ::plat::com::DispTable& DispatchTable() {                         \
      static const ::plat::com::DispMember members[] = {EVENTS(CV_EVENT_ENTRY)};   \
      static const ::plat::com::DispTable table{members, sizeof members / sizeof members[0]}; \
      return table;                                                                \
    }                                                                              \
  };
