#pragma once
// Helpers shared inside the mail message library.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors/error_codes.h"
#include "core/errors/out_of_memory.h"
#include "core/errors/status.h"
#include "mime/mime.h"
#include "mime/mime_library.h"
#include "mime/mime_records.h"

namespace cvmime {

using cvcore::Result;
using cvcore::Status;

// The message of a handle; a public call's lookup, which sets cvErrorInvalidHandle when
// there is none.
inline MimeMessage* GetMessage(LibHandle handle) noexcept { return Library().GetSession(handle); }

// The outcome of a step that ran out of memory (for cvcore::OrOutOfMemory).
inline Status Failed(uint32_t code) noexcept { return Status(code); }

// The current part (cvErrorInvalidMessagePart when there is none).
Result<MimePart*> CurrentPart(MimeMessage& m) noexcept;
// The part at index (cvErrorInvalidMessagePart when there is none).
Result<MimePart*> PartAt(MimeMessage& m, int32_t index) noexcept;
bool IsMultipart(const MimeMessage& m) noexcept;

// ---- text helpers ----
bool IEquals(std::string_view a, std::string_view b) noexcept;
int HexValue(char c) noexcept;  // a hex digit's value (either case), -1 for another character
bool IStartsWith(std::string_view text, std::string_view prefix) noexcept;
inline bool IsWhite(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
std::string_view Trim(std::string_view s) noexcept;
// White space runs become one blank; leading and trailing white space goes.
std::string NormalizeSpace(std::string_view s);
// Header name as stored: normalised, trailing blanks and colons dropped; empty when invalid.
std::string NormalizeHeaderName(std::string_view s);
// The text after the last "\" or "/".
std::string_view BaseName(std::string_view path) noexcept;
// Copies text into a buffer of size bytes with a terminator; returns the length copied.
int32_t CopyOut(std::string_view text, char* buffer, int32_t size) noexcept;

// ---- headers ----
MimeHeader* FindHeader(MimePart& part, std::string_view name) noexcept;
const std::string& DisplayValue(MimeHeader& header);
// Where a stored header goes: over the first of its name (or an emptied node, or at the
// end), as a further instance at the end, or into a given node.
enum class HeaderPlace { First, Append, Node };
// Stores a header on a part (the special-header handlers act on that part). An empty value
// deletes the header.
Status SetPartHeaderValue(MimeMessage& m, MimePart& part, std::string_view name, std::string_view value,
                          HeaderPlace place = HeaderPlace::First, MimeHeader* target = nullptr);
// Whether a message carries at most one header of this name (a repeated one replaces it).
bool IsSingleHeader(std::string_view name) noexcept;
// The decoded value of a part's header, or nothing.
bool GetHeaderValue(MimePart& part, std::string_view name, std::string& out);
// A parameter of a header's value.
bool GetParameter(std::string_view value, std::string_view name, std::string& out, size_t limit = 1024);

// ---- parts ----
// The index of the part added (the message's lock held).
Result<int32_t> AddPartLocked(MimeMessage& m);
Status SetPartCharsetOn(MimeMessage& m, MimePart& part, bool isPartZero, uint32_t charset, uint32_t encoding);
void ResetRecord(MimeMessage& m);
// A new message with its part 0.
Result<LibHandle> CreateMessage();
// Empties the message and adds its part 0 again.
Status ResetMessage(MimeMessage& m);

// ---- body ----
// Appends (offset -1) or writes at offset; bare LF becomes CR LF; encoded text parts decode
// the text first. The characters taken.
Result<int32_t> WriteBody(MimeMessage& m, MimePart& part, int32_t offset, std::string_view text);
// Raw append with the message's growth steps, no conversion.
Status AppendRaw(MimeMessage& m, MimePart& part, std::string_view bytes);

// ---- encodings (whole-buffer forms) ----
std::string Base64Encode(std::string_view data, bool lineBreaks72);  // body form: 72-char lines, ends CR LF
bool Base64Decode(std::string_view text, std::string& out);
bool IsBase64Symbol(char c) noexcept;  // one of the 64 characters of the alphabet
std::string QpEncodeBody(std::string_view data);
bool QpDecode(std::string_view text, std::string& out);
std::string EncodeDataQ(std::string_view data);  // header words: "_" for blanks, TAB escaped
std::string EncodeDataB(std::string_view data);  // no line breaks
bool EncodeHeaderValue(std::string_view text, uint32_t charset, uint32_t encoding, std::string& out);
std::string DecodeHeaderValue(std::string_view text, bool unstructured);
std::string Uuencode(std::string_view data, std::string_view name);
bool IsTextHeaderName(std::string_view name) noexcept;
// Converts text of a named charset to UTF-8 in place; false (text unchanged) when the
// charset is unknown or the bytes are not text in it.
bool ToUtf8(std::string_view charset, std::string& bytes);

// ---- attachments ----
// The attachment file name of a part (decoded); false when it has none.
bool AttachmentName(MimePart& part, std::string& out);
uint32_t PartEncoding(MimePart& part);

// ---- boundaries ----
std::string MakeBoundary(MimeMessage* m);

// ---- dates ----
std::string FormatDate(uint32_t time, int32_t zone);
// A date's time and zone, as MimeParseDate reads them.
Status ParseDate(const char* input, uint32_t options, uint32_t* timeOut, int32_t* zoneOut);

// ---- files ----
// The size of a file, at most 0xFFFFFFFF.
Status FileSize(const char* path, uint32_t* size);

}  // namespace cvmime

namespace cvmime {
std::string QpEncodeData(std::string_view data, bool lineBreaks, bool headerWord);
}  // namespace cvmime

namespace cvmime {
// A text part that is not an attachment and is declared quoted-printable or base64: text
// stored into it is decoded, export encodes it again.
bool DecodesOnStore(const MimePart& part) noexcept;
}  // namespace cvmime

namespace cvmime {
// Feeds raw message text to the parser.
Status ParseText(MimeMessage& m, const char* text, size_t length);
}  // namespace cvmime

namespace cvmime {
extern const char* const kHeaderOrder[35];
extern const char* const kDroppedHeaders[11];
}  // namespace cvmime

namespace cvmime {
// Line-by-line uudecoding: finds the "begin" line, gathers the decoded bytes in pending and
// ends at the "end" line.
class UuDecoder {
 public:
  enum class State { Searching, Data, AwaitEnd, Done, Failed };
  State state = State::Searching;
  std::string beginName;
  std::string pending;
  void Line(std::string_view line);
};
}  // namespace cvmime
