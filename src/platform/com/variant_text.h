#pragma once
// Text forms of numbers and dates used by the variant conversions.
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace plat::com {

struct ParsedNumber {
  bool isReal = false;
  int64_t i = 0;
  double d = 0;
};
// Plain decimal (blanks around, sign, digits, fraction, exponent) or "&H" hex, where up to 4
// digits are a 16-bit and up to 8 a 32-bit signed value ("&HFFFF" is -1), more a 64-bit one.
bool ParseNumber(std::u16string_view text, ParsedNumber& out);
std::string FormatReal(double d, int digits);

bool DateInRange(double d);  // the years 100 to 9999
// "M/D/YYYY h:mm:ss AM"; the date alone at midnight; the time alone on day 0.
std::optional<std::string> FormatDate(DATE d);
// The form above (time optional, 24-hour when AM/PM is absent), a time alone, or ISO 8601.
HRESULT ParseDate(std::u16string_view text, DATE* out);

std::u16string Trimmed(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace plat::com
