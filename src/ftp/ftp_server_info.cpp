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
  if (!SendCommand(s, "OPTS", on ? "UTF8 ON" : "UTF8 OFF").ok()) {
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

Result<uint32_t> GetSystemType(FtpSession& s) noexcept {
  if ((s.options & kOptNoServerQueries) || IsSftp(s)) return s.systemType = 1;
  if (s.systemType != 0) return s.systemType;
  const Result<int32_t> r = SendCommand(s, "SYST", nullptr);
  if (Gone(s)) return kSessionGone;
  if (!r.ok() || !Is2xx(r.value())) {
    // Before the login a server may refuse to say: ask again later.
    if (!s.loggedIn) return r.ok() ? Result<uint32_t>(0u) : r.status();
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

Result<uint32_t> QueryFeatures(FtpSession& s) noexcept {
  if (IsSftp(s)) return Status(cvErrorOperationNotSupported);
  if (!s.featuresQueried) {
    s.featuresQueried = 1;
    const Result<int32_t> r = SendCommand(s, "FEAT", nullptr);
    if (Gone(s)) return kSessionGone;
    if (r.ok() && Is2xx(r.value())) {
      UpperCase(s.replyText);
      for (const FeatureRow& row : kFeatures)
        if (std::strstr(s.replyText, row.keyword)) s.features |= row.bit;
    }
    if (!(s.features & (kFeatureMfmt | kFeatureMdtm))) s.features |= kFeatureMdtm | kFeatureUtime;
    if (s.features & kFeatureUtf8) NegotiateEncoding(s);
    if (Gone(s)) return kSessionGone;
  }
  return s.features;
}

Result<int32_t> SendType(FtpSession& s, uint32_t type) noexcept {
  if (IsSftp(s)) {
    s.fileType = 3;
    return 0;
  }
  static constexpr const char* kTypes[] = {nullptr, "A", "E", "I"};
  if (type < 1 || type > 3) return Status(cvErrorInvalidParameter);
  const Result<int32_t> r = SendCommand(s, "TYPE", kTypes[type]);
  if (r.ok() && Is2xx(r.value()) && !Gone(s)) s.fileType = type;
  return r;
}

Result<int32_t> SendSessionType(FtpSession& s) noexcept {
  static constexpr const char* kSessionTypes[] = {"I", "A", "E", "I"};
  return SendCommand(s, "TYPE", kSessionTypes[s.fileType & 3]);
}

Result<int32_t> QueryWorkingDirectory(FtpSession& s) noexcept {
  const Result<int32_t> r = SendCommand(s, "PWD", nullptr);
  if (r.ok() && r.value() == 257 && !QuotedDirectory(s.replyRaw, s.currentDirectory)) s.currentDirectory[0] = '\0';
  return r;
}

}  // namespace cvftp

using cvftp::Operation;

int32_t FtpSetFileType(LibHandle handle, uint32_t type) {
  Operation op(handle);
  if (!op) return -1;
  if (type >= 4) return cvftp::Library().Finish(cvftp::Status(cvErrorInvalidParameter), 0, -1);
  FtpSession& s = *op.session();
  if (type == 0) {
    s.autoFileType = 1;
    return 200;
  }
  s.autoFileType = 0;
  return cvftp::Library().Finish(cvftp::SendType(s, type), -1);
}

int32_t FtpSendType(LibHandle handle, uint32_t type) {
  Operation op(handle);
  return op ? cvftp::Library().Finish(cvftp::SendType(*op.session(), type), -1) : -1;
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
  using cvftp::Status;
  if (!buffer) return cvftp::Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  buffer[0] = '\0';
  Operation op(handle);
  if (!op) return -1;
  FtpSession& s = *op.session();
  if (s.options & cvftp::kOptSftp) return cvftp::Library().Finish(Status(cvErrorOperationNotSupported), 0, -1);
  if (s.options & cvftp::kOptNoServerQueries) {
    std::strcpy(buffer, "UNIX Type: L8");
    return 215;
  }
  const cvftp::Result<int32_t> r = cvftp::SendCommand(s, "SYST", nullptr);
  if (!r.ok() || r.value() < 200 || r.value() > 299) return cvftp::Library().Finish(r, -1);
  FtpGetResultString(handle, buffer, 128);
  return r.value();
}

int32_t FtpGetSystemType(LibHandle handle) {
  Operation op(handle);
  if (!op) return -1;
  const cvftp::Result<uint32_t> type = cvftp::GetSystemType(*op.session());
  return int32_t(cvftp::Library().Finish(type, 0u));
}

uint32_t FtpQueryFeatures(LibHandle handle) {
  Operation op(handle);
  if (!op) return 0;
  return cvftp::Library().FinishClean(cvftp::QueryFeatures(*op.session()), 0u);
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

namespace {

cvftp::Status SetEncoding(FtpSession& s, uint32_t encoding) noexcept {
  using namespace cvftp;
  if (encoding > 2) return Status(cvErrorInvalidParameter);
  if (encoding == s.encoding) return {};
  if (!(s.options & kOptSftp)) {
    if (!(s.features & kFeatureUtf8)) {
      if (encoding == kEncodingUtf8) return Status(cvErrorFeatureNotSupported);
    } else if (encoding == kEncodingUtf8) {
      if (const Result<int32_t> r = SendCommand(s, "OPTS", "UTF8 ON"); !r.ok()) {
        if (Gone(s)) return kSessionGone;
        s.features &= ~kFeatureUtf8;
        return Status(cvErrorFeatureNotSupported);
      }
    } else if (const Result<int32_t> r = SendCommand(s, "OPTS", "UTF8 OFF"); !r.ok()) {
      return r.status();
    }
  }
  s.encoding = encoding;
  return {};
}

}  // namespace

int32_t FtpSetEncoding(LibHandle handle, uint32_t encoding) {
  Operation op(handle);
  if (!op) return -1;
  return cvftp::Library().Finish(SetEncoding(*op.session(), encoding), 0, -1);
}
