#pragma once
// What the host knows of a control from its type library: the members of its dual
// interface with their argument names, flags and types, its events, and its constants.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/typeinfo.h"

namespace cvhost {

struct ParamInfo {
  std::string name;
  VARTYPE vt = VT_VARIANT;  // VT_BYREF added for a reference
  uint16_t flags = 0;       // PARAMFLAG_ bits
};

struct MemberInfo {
  std::string name;
  DISPID id = DISPID_UNKNOWN;
  INVOKEKIND kind = INVOKE_FUNC;
  std::vector<ParamInfo> params;  // a put's value last
  VARTYPE result = VT_VOID;
};

struct EnumInfo {
  std::string name;
  std::vector<std::pair<std::string, int32_t>> constants;
};

class ControlTypes {
 public:
  // Reads the library through the control's class information; a control without one
  // leaves everything empty.
  void Load(IUnknown* control);

  bool HasEvents() const { return hasEvents_; }
  const IID& EventsIid() const { return eventsIid_; }
  const MemberInfo* Event(DISPID id) const;
  // Case-insensitive, as names are everywhere else.
  const MemberInfo* EventNamed(std::string_view name) const;
  const MemberInfo* Member(DISPID id, INVOKEKIND kind) const;
  // Case-insensitive, as names are everywhere else.
  std::optional<int32_t> Constant(std::string_view name) const;

  // Members with their signatures, events with their argument names, and the constants.
  void List(std::FILE* out) const;

 private:
  std::vector<MemberInfo> members_;
  std::vector<MemberInfo> events_;
  std::vector<EnumInfo> enums_;
  IID eventsIid_{};
  bool hasEvents_ = false;
};

}  // namespace cvhost
