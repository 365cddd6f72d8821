#pragma once
// The output arguments of ReadDirectory and GetFileStatus: one directory entry handed out
// through the host's VARIANTs, each written through its reference when it has one of the
// matching type, else replaced.
#include <string>

#include "ftp/listing/ftp_file_info.h"
#include "platform/com/com.h"

namespace filexfer {

struct EntryOutputs {
  VARIANT* fileName;
  VARIANT* fileLength;
  VARIANT* fileDate;
  VARIANT* fileOwner;
  VARIANT* fileGroup;
  VARIANT* filePerms;
  VARIANT* isDirectory;
};

void OutText(VARIANT* v, const std::u16string& text);
void OutLong(VARIANT* v, int32_t value);
void OutBoolean(VARIANT* v, bool value);

// Resets every output that was passed and is not empty (the file name, when given, always).
void ResetEntryOutputs(const EntryOutputs& out, bool resetName);
// Writes every output that was passed.
void WriteEntryOutputs(const EntryOutputs& out, const FtpFileInfo& entry);

// A time as the host's date text; no date (year 0) gives an empty text.
std::u16string DateText(const SYSTEMTIME& time);

}  // namespace filexfer
