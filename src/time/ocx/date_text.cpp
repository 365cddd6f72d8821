#include "time/ocx/date_text.h"

#include <cstdio>

namespace timectl {
namespace {

std::u16string Widen(const char* text) {
  std::u16string out;
  for (const char* c = text; *c; ++c) out.push_back(char16_t(static_cast<unsigned char>(*c)));
  return out;
}

}  // namespace

std::u16string ShortDateText(const SYSTEMTIME& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%u/%u/%u", unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wYear));
  return Widen(text);
}

std::u16string TimeOfDayText(const SYSTEMTIME& t) {
  const unsigned hour12 = t.wHour % 12 == 0 ? 12 : t.wHour % 12;
  char text[32];
  std::snprintf(text, sizeof text, "%u:%02u:%02u %s", hour12, unsigned(t.wMinute), unsigned(t.wSecond),
                t.wHour < 12 ? "AM" : "PM");
  return Widen(text);
}

}  // namespace timectl
