#pragma once
// The steps of the command-line host:
//   Name=value              sets a property (Name(index, ...)=value an indexed one)
//   ?Name  ?Name(index)     prints a property
//   Name(arg, ...)          calls a method
//   wait  wait(seconds)     pumps messages until a signal ends the host, or for that long
//   @seconds step           runs the step that many seconds later, during whatever runs then
//   on Event step           runs the step each time the control fires Event, inside it
//   $name=value             sets a variable of the host
//   expect Name=value       ends the run unless the property (Name(index) an indexed one,
//                           $name a variable) has that value
// Arguments are numbers, quoted strings ("..." with \" \\ \n \r \t \0 \xHH), byte strings
// (b"..." alike: a byte array), True or False, constant names of the control's type
// library (several joined by | are or'ed), $variables, or left out. A variable holds what
// a call wrote into it, or inside an event handler the event's argument of that name
// ($Handle), with its VARIANT type and bytes; one never set is empty.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"

namespace cvhost {

enum class StepKind { Put, Call, Get, Wait, Assign, Expect };

enum class ArgKind { Missing, Number, String, Bytes, Names, Variable };

struct Argument {
  ArgKind kind = ArgKind::Missing;
  std::string text;  // the string (UTF-8), the bytes, the number's spelling, the names and numbers joined by |,
                     // a variable's name
};

struct Step {
  StepKind kind = StepKind::Call;
  std::string name;             // the member's, or for Assign the variable's
  std::vector<Argument> args;   // for Put and Expect: the index arguments, then the value
  std::optional<double> after;  // seconds to wait before running it (a scheduled step)
  std::optional<double> seconds;  // how long a wait step lasts; none: until a signal
  std::string onEvent;            // the event whose handler the step is ("": none)
  bool expectVariable = false;    // an Expect step checks the variable name, not a property
};

// Parses one step; on failure returns nothing and describes the problem in *error.
std::optional<Step> ParseStep(const std::string& text, std::string* error);

// The value of a constant name, or nothing when the name is unknown.
using ConstantLookup = std::function<std::optional<int32_t>(std::string_view)>;

// The VARIANT of an argument (VT_ERROR "not found" when missing); the caller clears it.
// Variables are the caller's: they give VT_EMPTY here.
// Fails, with *error set, for a name that is neither True, False nor a known constant.
std::optional<VARIANT> ToVariant(const Argument& a, const ConstantLookup& constant, std::string* error);

// A value for display: strings quoted and byte arrays as b"...", with every control
// character, backslash and quote escaped as the arguments write them; booleans True/False,
// numbers plain.
std::string Describe(const VARIANT& v);

// Whether the value of a property or argument of this name is a secret not to print
// (passwords, passphrases).
bool IsSecret(std::string_view name);

// Whether a value is the one expected: as text when a string is expected, byte for byte
// for a byte array, else as numbers (True is -1).
bool SameValue(const VARIANT& actual, const VARIANT& expected);

}  // namespace cvhost
