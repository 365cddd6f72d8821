#pragma once
// In-memory type libraries. A control describes its library once (the member tables of its
// dual and event interfaces, its enumerations, its identifiers) and the runtime builds from
// that description the ITypeLib and ITypeInfo objects a host reads; no type-library file is
// involved. The library holds, in this order: each enumeration (followed by its alias when it
// has one), the dual interface (its dispatch view), the event interface and the class.
#include <cstdint>
#include <span>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/typeinfo.h"

namespace plat::com {

struct TypeConstant {
  const char* name;
  int32_t value;
};

struct TypeEnum {
  const char* name;
  std::span<const TypeConstant> constants;
  const char* alias = nullptr;  // a second name the library gives the same enumeration
};

struct TypeInterface {
  IID iid;
  const char* name;
  const DispTable* table;
};

struct TypeLibDesc {
  GUID libid;
  const char* name;  // the library's name, e.g. "FooCtl"
  uint16_t majorVersion;
  uint16_t minorVersion;
  CLSID clsid;
  const char* className;
  const char* classDoc;  // the class's display name
  TypeInterface dual;
  TypeInterface events;
  std::vector<TypeEnum> enums;
};

// The library of a description, built at the first request and kept for the life of the
// process (the description must live as long). The caller receives one reference.
HRESULT GetTypeLibOf(const TypeLibDesc& desc, ITypeLib** lib);

// The type information of the library's class, dual interface or event interface.
enum class TypeLibPart { Class, Dual, Events };
HRESULT GetTypeInfoOf(const TypeLibDesc& desc, TypeLibPart part, ITypeInfo** info);

}  // namespace plat::com
