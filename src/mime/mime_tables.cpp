// The library's tables: charsets, media types, transfer encodings, header names, the header
// output order and the headers export drops.
#include <strings.h>

#include "mime/mime_internal.h"

namespace {

struct NamedId {
  const char* name;
  uint32_t id;
};

constexpr NamedId kCharsets[] = {
    {"us-ascii", 1},   {"iso-8859-1", 2}, {"latin-1", 2},    {"iso-8859-2", 3}, {"iso-8859-5", 4},
    {"iso-8859-6", 5}, {"iso-8859-7", 6}, {"iso-8859-8", 7}, {"iso-8859-9", 8}, {"utf-7", 9},
    {"utf-8", 10},     {"utf-16", 11},    {"windows-1252", 2},
};

constexpr NamedId kMediaTypes[] = {
    {"application", 1}, {"audio", 2}, {"image", 3}, {"message", 4},
    {"multipart", 5},   {"text", 6},  {"video", 7}, {"widetext", 8},
};

constexpr NamedId kEncodings[] = {
    {"7bit", 1}, {"8bit", 2}, {"binary", 3}, {"quoted-printable", 4}, {"base64", 5}, {"x-uuencode", 6},
};

constexpr NamedId kHeaderNames[] = {
    {"From", 1},          {"To", 2},
    {"Date", 3},          {"Subject", 4},
    {"Cc", 5},            {"Organization", 6},
    {"Message-Id", 7},    {"MIME-Version", 8},
    {"Content-Type", 9},  {"Content-Transfer-Encoding", 10},
    {"Content-Id", 11},   {"Content-Disposition", 12},
    {"Content-MD5", 13},  {"X-Mailer", 14},
    {"Sender", 15},       {"Sent", 16},
};

template <size_t N>
uint32_t IdOf(const NamedId (&table)[N], std::string_view name) {
  for (const NamedId& row : table)
    if (cvmime::IEquals(row.name, name)) return row.id;
  return 0;
}

template <size_t N>
const char* NameOf(const NamedId (&table)[N], uint32_t id) {
  for (const NamedId& row : table)
    if (row.id == id) return row.name;
  return nullptr;
}

}  // namespace

namespace cvmime {

const char* const kHeaderOrder[35] = {
    "Received",      "Return-Path",   "From",          "To",
    "Date",          "Subject",       "Cc",            "Bcc",
    "Reply-To",      "Organization",  "Priority",      "Importance",
    "Precedence",    "Message-Id",    "MIME-Version",  "Original-Recipient",
    "Content-Description", "Content-Type", "Content-Transfer-Encoding", "Content-Disposition",
    "Content-Length", "Content-Id",   "X-Mailer",      "X-MimeOLE",
    "X-Sender",      "X-Priority",    "X-Attachments", "X-Loop-Detect",
    "X400-Received", "X-UIDL",        "References",    "In-Reply-To",
    "Thread-Topic",  "Thread-Index",  "Status",
};

const char* const kDroppedHeaders[11] = {
    "Bcc",           "Received", "Return-Path",          "Status", "X400-Received", "X-AntiAbuse",
    "X-Loop-Detect", "X-ME-Bayesian", "X-MIME-Autoconverted", "X-Spam", "X-Spam-Checker-Version",
};

}  // namespace cvmime

uint32_t MimeCharsetId(const char* name) { return name ? IdOf(kCharsets, cvmime::Trim(name)) : 0; }
const char* MimeCharsetName(uint32_t id) { return NameOf(kCharsets, id); }
const char* MimeEncodingName(uint32_t id) { return NameOf(kEncodings, id); }
uint32_t MimeEncodingId(const char* name) { return name ? IdOf(kEncodings, cvmime::Trim(name)) : 0; }
uint32_t MimeHeaderName(const char* name) { return name ? IdOf(kHeaderNames, name) : 0; }

// The media type of a content type value: the text before "/" (or ";"), any case.
uint32_t MimeMediaTypeId(const char* type) {
  if (!type) return 0;
  std::string_view t(type);
  t = t.substr(0, t.find_first_of("/;"));
  return IdOf(kMediaTypes, cvmime::Trim(t));
}

int32_t MimeInOrderList(const char* name) {
  if (!name) return 0;
  for (const char* n : cvmime::kHeaderOrder)
    if (strcasecmp(n, name) == 0) return 1;
  return 0;
}

int32_t MimeInDroppedList(const char* name) {
  if (!name) return 0;
  for (const char* n : cvmime::kDroppedHeaders)
    if (strcasecmp(n, name) == 0) return 1;
  return 0;
}
