// What the session learns about the server (SYST, FEAT, the working directory) and the
// small settings of a session: transfer type, passive mode, features and text encoding.
#include <cctype>
#include <cstring>

#include "ftp/ftp_internal.h"

namespace cvftp {

namespace {

struct SystemRow {
  const char* name;
  uint32_t type;
  uint32_t clearedFeatures;
};
constexpr SystemRow kSystems[] = {
    {"UNIX", 1, 0},
    {"MS-DOS", 2, kFeatureSize | kFeatureMdtm | kFeatureIdle | kFeatureChmod},
    {"WINDOWS", 3, kFeatureSize | kFeatureMdtm | kFeatureIdle | kFeatureChmod},
    {"VMS", 4, kFeatureStat | kFeatureChmod},
    {"NETWARE", 5, kFeatureStat | kFeatureIdle | kFeatureChmod},
};

struct FeatureRow {
  const char* keyword;
  uint32_t bit;
};
constexpr FeatureRow kFeatures[] = {
    {"SIZE", kFeatureSize}, {"STAT", kFeatureStat}, {"MDTM", kFeatureMdtm},     {"REST", kFeatureRest},
    {"AUTH", kFeatureAuth}, {"PBSZ", kFeaturePbsz}, {"PROT", kFeatureProt},     {"CCC", kFeatureCcc},
    {"MLST", kFeatureMlst}, {"MFMT", kFeatureMfmt}, {"XCRC", kFeatureXcrc},     {"XMD5", kFeatureXmd5},
    {"LANG", kFeatureLang}, {"UTF8", kFeatureUtf8}, {"XQUOTA", kFeatureXquota}, {"EPRT", kFeatureEprt},
    {"EPSV", kFeatureEpsv}, {"TVFS", kFeatureTvfs},
};

void UpperCase(char* text) noexcept {
  for (; *text; ++text) *text = char(std::toupper(static_cast<unsigned char>(*text)));
}

bool Is2xx(int32_t code) noexcept { return code >= 200 && code <= 299; }

bool IsSftp(const FtpSession& s) noexcept { return (s.options & kOptSftp) != 0; }

// "OPTS UTF8 ON|OFF" for the session's encoding once the server announced UTF8.
void NegotiateEncoding(FtpSession& s) noexcept {
  const bool on = s.encoding != kEncodingAnsi;
  if (SendCommand(s, "OPTS", on ? "UTF8 ON" : "UTF8 OFF") == -1) {
    if (Gone(s)) return;
    s.features &= ~kFeatureUtf8;
    s.encoding = kEncodingNone;
    return;
  }
  if (s.encoding == kEncodingNone) s.encoding = kEncodingUtf8;
}

// The directory of a 257 reply: the quoted name of its first line, doubled quotes undone.
bool QuotedDirectory(const char* raw, char (&out)[kFtpDirectorySize]) noexcept {
  const char* p = std::strchr(raw, '"');
  const char* lineEnd = std::strchr(raw, '\n');
  if (!p || (lineEnd && p > lineEnd)) return false;
  size_t n = 0;
  for (++p; *p && *p != '\n'; ++p) {
    if (*p == '"') {
      if (p[1] != '"') break;
      ++p;
    }
    if (n + 1 >= sizeof out) return false;
    out[n++] = *p;
  }
  if (*p != '"') return false;
  out[n] = '\0';
  return n > 0;
}

}  // namespace

uint32_t GetSystemType(FtpSession& s) noexcept {
  if ((s.options & kOptNoServerQueries) || IsSftp(s)) return s.systemType = 1;
  if (s.systemType != 0) return s.systemType;
  const int32_t r = SendCommand(s, "SYST", nullptr);
  if (Gone(s)) return 0;
  if (!Is2xx(r)) {
    // Before the login a server may refuse to say: ask again later.
    if (!s.loggedIn) return 0;
    return s.systemType = 255;
  }
  s.systemType = 255;
  UpperCase(s.replyText);
  for (const SystemRow& row : kSystems) {
    if (std::strstr(s.replyText, row.name)) {
      s.systemType = row.type;
      s.features &= ~row.clearedFeatures;
      break;
    }
  }
  return s.systemType;
}

uint32_t QueryFeatures(FtpSession& s) noexcept {
  if (IsSftp(s)) return Fail(cvErrorOperationNotSupported), 0;
  if (!s.featuresQueried) {
    s.featuresQueried = 1;
    const int32_t r = SendCommand(s, "FEAT", nullptr);
    if (Gone(s)) return 0;
    if (Is2xx(r)) {
      UpperCase(s.replyText);
      for (const FeatureRow& row : kFeatures)
        if (std::strstr(s.replyText, row.keyword)) s.features |= row.bit;
    }
    if (!(s.features & (kFeatureMfmt | kFeatureMdtm))) s.features |= kFeatureMdtm | kFeatureUtime;
    if (s.features & kFeatureUtf8) NegotiateEncoding(s);
    if (Gone(s)) return 0;
  }
  Library().SetLastError(0);
  return s.features;
}

int32_t SendType(FtpSession& s, uint32_t type) noexcept {
  if (IsSftp(s)) {
    s.fileType = 3;
    return 0;
  }
  static constexpr const char* kTypes[] = {nullptr, "A", "E", "I"};
  if (type < 1 || type > 3) return Fail(cvErrorInvalidParameter);
  const int32_t r = SendCommand(s, "TYPE", kTypes[type]);
  if (Is2xx(r) && !Gone(s)) s.fileType = type;
  return r;
}

int32_t SendSessionType(FtpSession& s) noexcept {
  static constexpr const char* kSessionTypes[] = {"I", "A", "E", "I"};
  return SendCommand(s, "TYPE", kSessionTypes[s.fileType & 3]);
}

int32_t QueryWorkingDirectory(FtpSession& s) noexcept {
  const int32_t r = SendCommand(s, "PWD", nullptr);
  if (r == 257 && !QuotedDirectory(s.replyRaw, s.currentDirectory)) s.currentDirectory[0] = '\0';
  return r;
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpSetFileType(LibHandle handle, uint32_t type) {
  Operation op(handle);
  if (!op) return -1;
  if (type >= 4) return cvftp::Fail(cvErrorInvalidParameter);
  FtpSession& s = *op.session();
  if (type == 0) {
    s.autoFileType = 1;
    return 200;
  }
  s.autoFileType = 0;
  return cvftp::SendType(s, type);
}

int32_t FtpSendType(LibHandle handle, uint32_t type) {
  Operation op(handle);
  return op ? cvftp::SendType(*op.session(), type) : -1;
}

int32_t FtpSetPassiveMode(LibHandle handle, uint32_t passive) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  s.passive = passive ? 1 : 0;
  if (passive)
    s.options |= cvftp::kOptPassive;
  else
    s.options &= ~cvftp::kOptPassive;
  return 0;
}

int32_t FtpGetSystemName(LibHandle handle, char* buffer) {
  if (!buffer) return cvftp::Fail(cvErrorInvalidParameter);
  buffer[0] = '\0';
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return cvftp::Fail(cvErrorOperationNotSupported);
  if (s.options & cvftp::kOptNoServerQueries) {
    std::strcpy(buffer, "UNIX Type: L8");
    return 215;
  }
  const int32_t r = cvftp::SendCommand(s, "SYST", nullptr);
  if (r == -1 || r < 200 || r > 299) return r;
  FtpGetResultString(handle, buffer, 128);
  return r;
}

int32_t FtpGetSystemType(LibHandle handle) {
  Operation op(handle);
  return op ? int32_t(cvftp::GetSystemType(*op.session())) : -1;
}

uint32_t FtpQueryFeatures(LibHandle handle) {
  Operation op(handle);
  return op ? cvftp::QueryFeatures(*op.session()) : 0;
}

uint32_t FtpGetFeatures(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  cvftp::Library().SetLastError(0);
  return op.session()->features;
}

uint32_t FtpSetFeatures(LibHandle handle, uint32_t features) {
  Operation op(handle);
  if (!op) return 0;
  const uint32_t previous = op.session()->features;
  op.session()->features = features;
  cvftp::Library().SetLastError(0);
  return previous;
}

int32_t FtpDropUtf8Feature(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  op.session()->features &= ~cvftp::kFeatureUtf8;
  return 1;
}

int32_t FtpGetEncoding(LibHandle handle) {
  Operation op(handle);
  return op ? int32_t(op.session()->encoding) : -1;
}

int32_t FtpSetEncoding(LibHandle handle, uint32_t encoding) {
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (encoding > 2) return cvftp::Fail(cvErrorInvalidParameter);
  if (encoding == s.encoding) return 0;
  if (!(s.options & cvftp::kOptSftp)) {
    if (!(s.features & cvftp::kFeatureUtf8)) {
      if (encoding == cvftp::kEncodingUtf8) return cvftp::Fail(cvErrorFeatureNotSupported);
    } else if (encoding == cvftp::kEncodingUtf8) {
      if (cvftp::SendCommand(s, "OPTS", "UTF8 ON") == -1) {
        if (cvftp::Gone(s)) return -1;
        s.features &= ~cvftp::kFeatureUtf8;
        return cvftp::Fail(cvErrorFeatureNotSupported);
      }
    } else if (cvftp::SendCommand(s, "OPTS", "UTF8 OFF") == -1) {
      return -1;
    }
  }
  s.encoding = encoding;
  return 0;
}
