#pragma once
// The type library of a control as plain text, one entry a line, so that a test can hold
// the published tables as text and compare:
//   members  "Name DISPID get put" for a property (its index names after it),
//            "Name DISPID method Arg..." for a method, in slot order;
//   events   "Name DISPID Arg...";
//   enums    "enum Name" (with " = Alias" when an alias type names it), then "constant value".
// Every name, argument name and value is read through ITypeInfo.
#include <string>
#include <string_view>

#include "platform/com/typeinfo.h"

namespace cvtest {

struct TypeLibText {
  std::string members;
  std::string events;
  std::string enums;
  std::string errors;  // the error enumeration, apart: every control shares its list
  std::string errorsName;
};

// Reads the library through the control's class information (IProvideClassInfo2).
TypeLibText DumpTypeLibrary(IUnknown* control);

// The text without blank lines and with single blanks, for comparison with a dump; a line
// "(shared security constants)" stands for the published security constants.
std::string Normalize(std::string_view text);

// The security constants every control shares, as the published list gives them, in dump form.
std::string PublishedSecurityConstants();

// The shared error constants as the published list gives them, in dump form.
std::string PublishedErrorConstants(std::string_view prefix = "cv");

}  // namespace cvtest
