#pragma once
// The steps of the command-line host: "Name=value" sets a property, "Name(arg, ...)" calls a
// method, "?Name" (or "?Name(index)") reads a property. Arguments are numbers, quoted strings
// ("..." with \" and \\), or left out.
#include <optional>
#include <string>
#include <vector>

#include "platform/com/com.h"

namespace cvhost {

enum class StepKind { Put, Call, Get };

struct Argument {
  bool missing = true;
  bool isString = false;
  std::string text;  // the string, or the number's spelling
};

struct Step {
  StepKind kind = StepKind::Call;
  std::string name;
  std::vector<Argument> args;  // for Put: the value is the last one
};

// Parses one step; on failure returns nothing and describes the problem in *error.
std::optional<Step> ParseStep(const std::string& text, std::string* error);

// The VARIANT of an argument (VT_ERROR "not found" when missing); the caller clears it.
VARIANT ToVariant(const Argument& a);

// A value for display: strings quoted, booleans True/False, numbers plain.
std::string Describe(const VARIANT& v);

}  // namespace cvhost
