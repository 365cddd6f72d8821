#include "support/type_dump.h"

#include <map>
#include <sstream>
#include <vector>

#include "platform/base/utf.h"
#include "platform/com/com.h"

namespace cvtest {
namespace {

std::string Utf8(BSTR s) { return s ? plat::ToUtf8(std::u16string_view(s, SysStringLen(s))) : std::string(); }

// The names of a member: its own, then its arguments'.
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

std::string TypeName(ITypeInfo* info) {
  BSTR name = nullptr;
  info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
  std::string text = Utf8(name);
  SysFreeString(name);
  return text;
}

std::string Functions(ITypeInfo* info, bool properties) {
  struct Line {
    std::string name;
    MEMBERID id;
    std::string kinds;
    std::string args;
  };
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return "(no type attributes)\n";
  std::vector<Line> lines;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(info->GetFuncDesc(i, &f))) continue;
    const std::vector<std::string> names = Names(info, f->memid);
    Line line{names.empty() ? "?" : names[0], f->memid, "", ""};
    for (size_t a = 1; a < names.size(); ++a) line.args += " " + names[a];
    if (!properties) {
      lines.push_back(line);
    } else if (f->invkind == INVOKE_FUNC) {
      line.kinds = " method";
      lines.push_back(line);
    } else {
      const char* access = f->invkind == INVOKE_PROPERTYGET ? " get" : " put";
      // A property's get and put stand next to each other: one line for both.
      if (!lines.empty() && lines.back().name == line.name && lines.back().kinds != " method") {
        lines.back().kinds += access;
      } else {
        line.kinds = access;
        lines.push_back(line);
      }
    }
    info->ReleaseFuncDesc(f);
  }
  info->ReleaseTypeAttr(attr);
  std::string text;
  for (const Line& l : lines) text += l.name + " " + std::to_string(l.id) + l.kinds + l.args + "\n";
  return text;
}

std::string Constants(ITypeInfo* info) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return "";
  std::string text;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* v = nullptr;
    if (FAILED(info->GetVarDesc(i, &v))) continue;
    const std::vector<std::string> names = Names(info, v->memid);
    VARIANT value;
    VariantInit(&value);
    VariantChangeType(&value, v->lpvarValue, 0, VT_I4);
    text += (names.empty() ? "?" : names[0]) + " " + std::to_string(value.lVal) + "\n";
    info->ReleaseVarDesc(v);
  }
  info->ReleaseTypeAttr(attr);
  return text;
}

}  // namespace

TypeLibText DumpTypeLibrary(IUnknown* control) {
  TypeLibText out;
  IProvideClassInfo2* provider = nullptr;
  if (FAILED(control->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&provider)))) {
    out.members = "(no IProvideClassInfo2)";
    return out;
  }
  ITypeInfo* coclass = nullptr;
  HRESULT hr = provider->GetClassInfo(&coclass);
  provider->Release();
  if (FAILED(hr) || !coclass) {
    out.members = "(no class information)";
    return out;
  }

  TYPEATTR* attr = nullptr;
  coclass->GetTypeAttr(&attr);
  const UINT impls = attr ? attr->cImplTypes : 0;
  if (attr) coclass->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < impls; ++i) {
    HREFTYPE ref = 0;
    INT flags = 0;
    ITypeInfo* itf = nullptr;
    if (FAILED(coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(coclass->GetImplTypeFlags(i, &flags)) ||
        FAILED(coclass->GetRefTypeInfo(ref, &itf)))
      continue;
    if (flags & IMPLTYPEFLAG_FSOURCE)
      out.events = Functions(itf, false);
    else if (flags & IMPLTYPEFLAG_FDEFAULT)
      out.members = Functions(itf, true);
    itf->Release();
  }

  ITypeLib* lib = nullptr;
  UINT index = 0;
  if (SUCCEEDED(coclass->GetContainingTypeLib(&lib, &index))) {
    std::map<std::string, std::string> aliases;  // enumeration -> alias
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
      TYPEKIND kind;
      ITypeInfo* info = nullptr;
      if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_ALIAS || FAILED(lib->GetTypeInfo(i, &info)))
        continue;
      TYPEATTR* a = nullptr;
      ITypeInfo* target = nullptr;
      if (SUCCEEDED(info->GetTypeAttr(&a)) && a->tdescAlias.vt == VT_USERDEFINED &&
          SUCCEEDED(info->GetRefTypeInfo(a->tdescAlias.hreftype, &target))) {
        aliases[TypeName(target)] = TypeName(info);
        target->Release();
      }
      if (a) info->ReleaseTypeAttr(a);
      info->Release();
    }
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
      TYPEKIND kind;
      ITypeInfo* info = nullptr;
      if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_ENUM || FAILED(lib->GetTypeInfo(i, &info)))
        continue;
      const std::string name = TypeName(info);
      if (name == "__ERRORCODES" || name == "ErrorConstants") {
        out.errorsName = name;
        out.errors = Constants(info);
      } else {
        auto alias = aliases.find(name);
        out.enums += "enum " + name + (alias == aliases.end() ? "" : " = " + alias->second) + "\n" + Constants(info);
      }
      info->Release();
    }
    lib->Release();
  }
  coclass->Release();
  return out;
}

std::string Normalize(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string line, out;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word, joined;
    while (words >> word) joined += (joined.empty() ? "" : " ") + word;
    if (joined == "(shared security constants)")
      out += PublishedSecurityConstants();
    else if (!joined.empty())
      out += joined + "\n";
  }
  return out;
}

}  // namespace cvtest
