#pragma once
// What the listing line parsers share: a cursor that cuts a line into tokens in place,
// strict number readers, and the date fields every format fills.
#include <cstdint>
#include <string_view>

#include "core/errors/error_codes.h"
#include "ftp/listing/list_parser.h"

namespace cvftp::listing {

inline bool IsSeparator(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool IsLetter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline char Upper(char c) noexcept { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }
bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;

// Walks a mutable, NUL-terminated line: each token is ended in place, so the pointers it
// hands out stay valid texts for as long as the line lives.
class LineCursor {
 public:
  explicit LineCursor(char* line) noexcept : p_(line) {}
  // The next run of non-separators, or null at the end of the line.
  char* Next() noexcept;
  // The rest of the line after leading blanks and tabs, ended at its first CR or LF; null
  // when nothing but separators is left.
  char* Rest() noexcept;

 private:
  char* p_;
};

// A whole token of decimal digits without overflow.
bool ParseU64(const char* text, uint64_t& out) noexcept;
// The leading decimal digits of text (at least one), saturated to 32 bits; end points
// after them.
bool LeadingU32(const char* text, uint32_t& out, const char** end = nullptr) noexcept;

// Date fields: month 1-12, day 1-31, hour 0-23, minute 0-59; false when out of range.
bool SetDate(SYSTEMTIME& t, uint32_t year, uint32_t month, uint32_t day) noexcept;
bool SetClock(SYSTEMTIME& t, uint32_t hour, uint32_t minute) noexcept;
// "hh:mm" into the clock fields (anything after the minutes, such as seconds, is ignored).
bool SetTimeOfDay(SYSTEMTIME& t, const char* token) noexcept;
// The "year or time" token of UNIX-like formats: a time (hh:mm) dates the entry in the
// current year, or the year before when its month lies ahead; otherwise the token is the
// year. The month must already be set.
bool SetYearOrTime(SYSTEMTIME& t, const char* token, const ParseContext& context) noexcept;
// A token that begins with a letter (ASCII or not): a word such as a month name.
bool IsWord(const char* token) noexcept;
// "month day year-or-time" with the month by name. A word that names no known month
// leaves the date unknown (zero) and still reads the day and year-or-time tokens.
bool ParseNamedDate(LineCursor& cursor, SYSTEMTIME& t, const ParseContext& context, const char* monthToken) noexcept;
// "month-day-year" with numbers, the year of two digits (see ExpandYear) or four.
bool ParseNumericDate(const char* token, SYSTEMTIME& t) noexcept;
// Two-digit years of MS-DOS listings: 1900 + y, a century later below 1980.
bool ExpandYear(const char* text, size_t length, uint32_t pivot, uint32_t& year) noexcept;

// Cuts a link line's name at " -> " (the text behind it is the target); a link listed
// without a target is taken for a directory.
void SplitLinkTarget(FtpListEntry& e, char* name) noexcept;
// Windows servers list no permissions: readable files (executable by extension) and
// writable directories stand in.
void ApplyDefaultPermissions(FtpListEntry& e, uint32_t systemType) noexcept;

// The parsers of the formats other than UNIX and MS-DOS.
LineResult ParseVms(FtpListEntry& e, LineCursor& cursor, char* first) noexcept;
LineResult ParseSterling(FtpListEntry& e, LineCursor& cursor, char* first, uint32_t format,
                         const ParseContext& context) noexcept;
LineResult ParseNetWare(FtpListEntry& e, LineCursor& cursor, char* first, const ParseContext& context) noexcept;
LineResult ParseSftpLine(FtpListEntry& e, LineCursor& cursor, char* first) noexcept;

}  // namespace cvftp::listing
