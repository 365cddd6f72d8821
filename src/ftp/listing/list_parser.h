#pragma once
// Pure parsers of directory listings: one listing line in any of the server formats into
// an FtpListEntry, the facts of an MLSD/MLST line into an FtpFileInfoEx, month names, and
// the calendar helpers they share. Nothing here touches a session.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ftp/listing/ftp_file_info.h"

namespace cvftp::listing {

// Server system types (as the system query reports them).
inline constexpr uint32_t kSystemUnix = 1;
inline constexpr uint32_t kSystemMsdos = 2;
inline constexpr uint32_t kSystemWindows = 3;
inline constexpr uint32_t kSystemVms = 4;
inline constexpr uint32_t kSystemNetWare = 5;
inline constexpr uint32_t kSystemOther = 255;

// What a line is read against: the server's system type, and the local date of now for
// dates listed with a time instead of a year.
struct ParseContext {
  uint32_t systemType = 0;
  bool sftp = false;
  uint16_t currentYear = 1970;
  uint16_t currentMonth = 1;
};
// A context for the session's system type with the local date of now.
ParseContext ContextNow(uint32_t systemType, bool sftp) noexcept;

enum class LineResult {
  Entry,       // the entry is filled
  Incomplete,  // a VMS name alone: its details follow on the next line
  Unknown,     // not a line of the format (cvErrorUnknownDirectoryFormat)
};

// The size of one block holding an entry and its copy of a line of length bytes, and the
// entry set up in such a zero-filled block (the line copied behind the record).
size_t EntryBlockSize(size_t length) noexcept;
FtpListEntry* PlaceEntry(void* block, std::string_view line) noexcept;

// Parses the entry's line in place (the texts come to point into it). format is the
// session's directory format: when 0 it is detected from this line and stored; SFTP
// sessions always use the SFTP line form and leave it alone. MLSD lines are not handled
// here (see ParseFacts).
LineResult ParseLine(FtpListEntry& entry, const ParseContext& context, uint32_t& format) noexcept;

// The format a first line suggests, 0 when none fits.
uint32_t DetectFormat(std::string_view firstToken, uint32_t systemType) noexcept;

// The facts of an MLSD or MLST line into out (zeroed first). 0, or the error:
// cvErrorInvalidParameter for an empty text, cvErrorUnexpectedServerResponse for a text
// without facts, cvErrorUnknownDirectoryFormat for a malformed fact list.
uint32_t ParseFacts(const char* text, FtpFileInfoEx& out) noexcept;

// "YYYYMMDDHHMMSS" at the start of text (a fraction after it is ignored), with the day of
// the week; false when a digit is missing or a field is out of range.
bool ParseTimestamp(std::string_view text, SYSTEMTIME& out) noexcept;

// Day of the week (0 = Sunday) of a Gregorian date.
uint16_t DayOfWeek(unsigned year, unsigned month, unsigned day) noexcept;

// Copies an entry into a caller's record (texts cut to the record's fields); a link
// counts as a directory.
void FillInfo(const FtpListEntry& entry, FtpFileInfoEx& out) noexcept;
// The 32-bit form: a size above 32 bits reads 0xFFFFFFFF.
void NarrowInfo(const FtpFileInfoEx& in, FtpFileInfo& out) noexcept;

}  // namespace cvftp::listing

// The month (1 to 12) of a month name in any of the languages servers list dates in
// (ASCII, Latin-1 or UTF-8, any case, compared whole); 0 when none matches.
uint32_t FtpMonthFromName(const char* text);
