#pragma once
// The mail message library's C-style interface: MIME messages in memory behind handles,
// their parsing and export, header values and the transfer encodings. Integer results,
// the reason of a failure in the library's per-thread last error. Strings are UTF-8;
// file names are UTF-8 paths. Message handles may be used from any thread (one at a time).
#include <cstdint>

#include "core/frame/lib_types.h"
#include "platform/base/heap.h"

struct MimeMessage;
struct MimeStream;

// ---- ids of the tables ----
inline constexpr uint32_t kMimeCharsetUsAscii = 1;
inline constexpr uint32_t kMimeCharsetIso8859_1 = 2;
inline constexpr uint32_t kMimeCharsetUtf8 = 10;

inline constexpr uint32_t kMimeMediaApplication = 1;
inline constexpr uint32_t kMimeMediaAudio = 2;
inline constexpr uint32_t kMimeMediaImage = 3;
inline constexpr uint32_t kMimeMediaMessage = 4;
inline constexpr uint32_t kMimeMediaMultipart = 5;
inline constexpr uint32_t kMimeMediaText = 6;
inline constexpr uint32_t kMimeMediaVideo = 7;
inline constexpr uint32_t kMimeMediaWidetext = 8;

inline constexpr uint32_t kMimeEncoding7bit = 1;
inline constexpr uint32_t kMimeEncoding8bit = 2;
inline constexpr uint32_t kMimeEncodingBinary = 3;
inline constexpr uint32_t kMimeEncodingQuoted = 4;
inline constexpr uint32_t kMimeEncodingBase64 = 5;
inline constexpr uint32_t kMimeEncodingUuencode = 6;

// Attachment options.
inline constexpr uint32_t mailAttachDefault = 0;
inline constexpr uint32_t mailAttachBase64 = 1;
inline constexpr uint32_t mailAttachUucode = 2;
inline constexpr uint32_t mailAttachQuoted = 3;
inline constexpr uint32_t mailAttachAlternative = 65536;
inline constexpr uint32_t mailAttachInline = 131072;

// Export targets and options.
inline constexpr uint32_t kMimeExportDefault = 0;  // file when a name is given, else the clipboard
inline constexpr uint32_t kMimeExportFile = 1;
inline constexpr uint32_t kMimeExportClipboard = 2;
inline constexpr uint32_t kMimeExportBuffer = 3;
inline constexpr uint32_t kMimeExportGlobal = 4;
inline constexpr uint32_t kMimeExportAllHeaders = 1;
inline constexpr uint32_t kMimeExportStoredOrder = 2;

// ---- library frame ----
void MimeProcessAttach(void* module);
void MimeProcessDetach();
int32_t MimeAttach(LibVersionInfo* info);  // 1 or 0
void MimeDetach();
uint32_t MimeIsInitialized();
void MimeSetLastError(uint32_t code);
uint32_t MimeGetLastError();
uint32_t MimeGetErrorText(uint32_t code, char* buffer);  // buffer of 128 characters or null

// ---- messages ----
LibHandle MimeCreateMessage();  // kInvalidLibHandle on failure
int32_t MimeResetMessage(LibHandle handle);
int32_t MimeDestroyMessage(LibHandle handle);

// ---- parts ----
int32_t MimeAddPart(LibHandle handle);
int32_t MimeCreatePart(LibHandle handle, uint32_t charset, uint32_t encoding, const char* text);
int32_t MimeDeletePart(LibHandle handle, int32_t index);  // -1: the current part
int32_t MimeGetPartCount(LibHandle handle);
int32_t MimeGetCurrentPart(LibHandle handle);
int32_t MimeSelectPart(LibHandle handle, int32_t index);  // the previous current index
int32_t MimeSetPartCharset(LibHandle handle, uint32_t charset, uint32_t encoding);
int32_t MimeGetMediaSubtype(LibHandle handle, char* buffer);  // buffer of 128 characters or null
int32_t MimeGetContentLength(LibHandle handle);

// ---- headers (the current part) ----
int32_t MimeSetHeader(LibHandle handle, const char* name, const char* value);
int32_t MimeSetPartHeader(LibHandle handle, int32_t part, const char* name, const char* value);
const char* MimeGetHeader(LibHandle handle, const char* name);
int32_t MimeGetPartHeader(LibHandle handle, int32_t part, const char* name, char* buffer, int32_t size);
// As MimeGetPartHeader, with every header of the name on the part: their values joined by
// ", " in stored order (an address list some mailers spread over repeated To or Cc lines).
int32_t MimeGetPartHeaderList(LibHandle handle, int32_t part, const char* name, char* buffer, int32_t size);
int32_t MimeDeleteHeader(LibHandle handle, const char* name);
// name: 127 characters; value: 1,023 characters or null.
int32_t MimeGetFirstHeader(LibHandle handle, char* name, char* value);
int32_t MimeGetNextHeader(LibHandle handle, char* name, char* value);
int32_t MimeSetDate(LibHandle handle, const char* text, uint32_t options);

// ---- body text (the current part) ----
int32_t MimeGetText(LibHandle handle, char* buffer, int32_t size);  // buffer of size + 1 bytes
int32_t MimeSetText(LibHandle handle, int32_t offset, const char* text);  // 0 replace, -1 append
int32_t MimeAppendText(LibHandle handle, const char* text);
int32_t MimeClearText(LibHandle handle);

// ---- parsing and import ----
int32_t MimeParseMessage(LibHandle handle, const char* text, int32_t length);
int32_t MimeParseHeaderLine(LibHandle handle, const char* line);
int32_t MimeLoadMessage(LibHandle handle, const char* fileName);    // empty or null: the clipboard
int32_t MimeImportMessage(LibHandle handle, const char* fileName);  // null: the clipboard

// ---- output stream ----
MimeStream* MimeStreamCreate();
int32_t MimeStreamWrite(MimeStream* stream, const void* data, int32_t length);
int32_t MimeStreamLength(MimeStream* stream);
int32_t MimeStreamSave(MimeStream* stream, const char* fileName);
plat::HGLOBAL MimeStreamDetach(MimeStream* stream);
void MimeStreamFree(MimeStream* stream);

// ---- export, attachments, composition ----
// buffer: the caller's buffer (target 3) or a plat::HGLOBAL* (target 4).
int32_t MimeExportMessage(LibHandle handle, uint32_t target, uint32_t options, const char* name, void* buffer,
                          uint32_t* size);
int32_t MimeGetAllHeaders(LibHandle handle, char* buffer, int32_t size);
int32_t MimeGetAttachmentName(LibHandle handle, char* buffer, int32_t size);
int32_t MimeFindAttachment(LibHandle handle, const char* fileName);
int32_t MimeExtractFile(LibHandle handle, const char* fileName);
int32_t MimeExtractAllFiles(LibHandle handle, const char* directory);
int32_t MimeAttachData(LibHandle handle, const void* data, int32_t length, const char* fileName,
                       const char* contentType, uint32_t options);
int32_t MimeAttachFile(LibHandle handle, const char* path, uint32_t options);
int32_t MimeAttachImage(LibHandle handle, const char* path, const char* contentId);
LibHandle MimeComposeMessage(const char* from, const char* to, const char* cc, const char* subject, const char* text,
                             const char* html, uint32_t charset, uint32_t encoding);

// ---- header values ----
char* MimeFormatDate(uint32_t time, int32_t zone, char* buffer, int32_t size);
int32_t MimeParseDate(const char* text, uint32_t options, uint32_t* time, int32_t* zone);
int32_t MimeParseAddress(const char* text, const char* defaultDomain, char* buffer, int32_t size);
int32_t MimeGetRecipients(LibHandle handle, const char* extra, char* buffer, uint32_t* size);
int32_t MimeGetAllRecipients(LibHandle handle, const char* extra, char* buffer, int32_t size);
int32_t MimeGetParameter(const char* value, const char* name, char* buffer, int32_t size);
char* MimeMakeBoundary(LibHandle handle, char* buffer);  // buffer of 64 characters or null
uint32_t MimeGetFileContentType(LibHandle handle, const char* fileName, char* buffer);  // buffer of 1,024
uint32_t MimeCharsetId(const char* name);
const char* MimeCharsetName(uint32_t id);
uint32_t MimeMediaTypeId(const char* type);
uint32_t MimeEncodingId(const char* name);
const char* MimeEncodingName(uint32_t id);
uint32_t MimeHeaderName(const char* name);
int32_t MimeInOrderList(const char* name);
int32_t MimeInDroppedList(const char* name);

// ---- encodings ----
struct MimeBase64State {
  uint8_t group[3];
  uint32_t phase;   // bytes of the current group, 0 to 3
  uint32_t column;  // characters on the current line
};
struct MimeBase64DecodeState {
  uint8_t values[4];
  uint32_t phase;  // characters of the current group, 0 to 3
};
struct MimeQpDecodeState {
  // 0 text, 1 after "=", 2 after the first hex digit, 3 after a soft break's CR, 4 after "="
  // and blanks (only a line end may follow)
  uint32_t phase;
  uint8_t first;
};

int32_t MimeDecodeText(uint32_t encoding, const char* text, int32_t length, char* output, int32_t room);
int32_t MimeEncodeText(uint32_t encoding, const void* data, int32_t length, char* output, int32_t room);
int32_t MimeEncodeData(uint32_t encoding, uint32_t options, const void* data, int32_t length, char* output,
                       int32_t room);
int32_t MimeBase64Encode(MimeBase64State* state, const void* data, int32_t length, char* output, int32_t room);
int32_t MimeBase64Finish(MimeBase64State* state, char* output, int32_t room);
int32_t MimeBase64Decode(MimeBase64DecodeState* state, const char* text, int32_t length, void* output,
                         int32_t room);
int32_t MimeQpEncode(uint32_t* column, const void* data, int32_t length, char* output, int32_t room);
int32_t MimeQpDecode(MimeQpDecodeState* state, const char* text, int32_t length, void* output, int32_t room);
int32_t MimeDecodeWord(uint32_t encoding, const char* text, char* output);  // output of 1,024 characters
int32_t MimeEncodeHeaderValue(const char* text, char* output, int32_t room, uint32_t charset, uint32_t encoding);
int32_t MimeDecodeHeaderValue(const char* text, char* output, int32_t room, int32_t unstructured);
int32_t MimeIsTextHeader(const char* name);
int32_t MimeUuencodeFile(const char* input, const char* output);
int32_t MimeUudecodeFile(const char* input, const char* output);
int32_t MimeBase64EncodeFile(const char* input, const char* output);
int32_t MimeBase64DecodeFile(const char* input, const char* output);
int32_t MimeQpDecodeFile(const char* input, const char* output);
int32_t MimeIsBinaryFile(const char* path);
uint32_t MimeGetPartEncoding(LibHandle handle, int32_t part);
int32_t MimeMakeTempFile(char* output);  // output of 260 characters
int32_t MimeGetFileSize(const char* path, uint32_t* size);
char* MimeReadFileLine(int fd, char* buffer, uint32_t* offset);  // buffer of 1,024 bytes
void* MemSessionRealloc(LibHandle handle, void* block, size_t size);
