#pragma once
// The control's date and time texts in the user's default locale (United States English):
// the short date "M/D/YYYY" and the time of day "h:mm:ss AM".
#include <string>

#include "platform/types.h"

namespace timectl {

std::u16string ShortDateText(const SYSTEMTIME& t);
std::u16string TimeOfDayText(const SYSTEMTIME& t);

}  // namespace timectl
