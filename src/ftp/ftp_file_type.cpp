// The automatic transfer type: the library's list of extensions, the built-in text
// extensions, and a look at the first bytes of an upload's content.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "ftp/ftp_internal.h"
#include "ftp/ftp_transfer.h"

namespace cvftp {

namespace {

constexpr size_t kProbeSize = 4096;
constexpr uint32_t kFileTypeStep = 32;

constexpr const char* kTextExtensions[] = {
    "ASC",  "ASCII", "ASP",   "ASPX",  "AWK",   "ASM",   "B64",      "BAS",  "BAT",  "C",    "CFM",  "CGI",  "CLS",
    "CMD",  "CONF",  "CPP",   "CS",    "CSS",   "CSV",   "DEF",      "DHTML", "DIZ", "DTD",  "EL",   "EML",  "F",
    "F77",  "FAQ",   "H",     "HPP",   "HTA",   "HTM",   "HTML",     "IDL",  "INC",  "INF",  "INI",  "JAVA", "JS",
    "JSP",  "LOG",   "M3U",   "MANIFEST", "MAK", "MSG",  "NFO",      "ODL",  "PAS",  "PHP",  "PHP3", "PHP4", "PHP5",
    "PHTML", "PL",   "PM",    "POD",   "PS1",   "RC",    "REG",      "RGS",  "RSS",  "SFV",  "SH",   "SHT",  "SHTML",
    "TCL",  "TEXT",  "TXT",   "UU",    "UUE",   "VB",    "VBS",      "XQ",   "XQUERY", "XML", "XSD", "XSL",  "XSLT",
};
static_assert(sizeof kTextExtensions / sizeof kTextExtensions[0] == 78);

const char* BaseName(const char* name) noexcept {
  if (const char* p = std::strrchr(name, '\\')) return p + 1;
  if (const char* p = std::strrchr(name, '/')) return p + 1;
  if (std::strlen(name) >= 3 && name[1] == ':') return name + 2;
  return name;
}

// 1 (ASCII) for text, 3 (image) for anything with control or non-ASCII bytes, or nothing.
uint32_t TypeOfContent(const unsigned char* data, size_t length) noexcept {
  if (length == 0) return kTypeImage;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = data[i];
    if (c > 126 || (c < 32 && !(c >= 7 && c <= 13) && c != 27)) return kTypeImage;
  }
  return kTypeAscii;
}

// The first bytes of a regular local file; never blocks (a FIFO or device is no content).
uint32_t TypeOfLocalFile(const char* path) noexcept {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kTypeImage;
  struct stat st{};
  unsigned char buffer[kProbeSize];
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return n > 0 ? TypeOfContent(buffer, size_t(n)) : kTypeImage;
}

}  // namespace

Result<int32_t> AutoFileType(FtpSession& s, const char* name, TypeProbe* probe) noexcept {
  if (Empty(name)) return Status(cvErrorInvalidFileName);
  const char* base = BaseName(name);
  const char* dot = std::strrchr(base, '.');
  if (dot && dot[1]) {
    const char* extension = dot + 1;
    {
      std::lock_guard lk(Library().lock());
      const LibraryState& state = Library().state();
      for (uint32_t i = 0; i < state.fileTypeCount; ++i)
        if (strcasecmp(state.fileTypes[i].extension, extension) == 0) return int32_t(state.fileTypes[i].type);
    }
    for (const char* text : kTextExtensions)
      if (strcasecmp(text, extension) == 0) return int32_t(kTypeAscii);
  }
  if (!probe) return int32_t(s.defaultAutoType ? s.defaultAutoType : kTypeImage);
  probe->byContent = true;
  if (probe->localPath) return int32_t(TypeOfLocalFile(probe->localPath));
  return int32_t(TypeOfContent(static_cast<const unsigned char*>(probe->data),
                               probe->data ? std::min(probe->length, kProbeSize) : 0));
}

}  // namespace cvftp

int32_t FtpGetAutoFileType(LibHandle handle, const char* name, uint32_t contentTest) {
  cvftp::Operation op(handle);
  if (!op) return -1;
  cvftp::TypeProbe probe;
  probe.localPath = name;
  return cvftp::Library().Finish(cvftp::AutoFileType(*op.session(), name, contentTest ? &probe : nullptr), -1);
}

namespace {

// Adds or changes the transfer type of an extension in the library's list.
cvftp::Status AddFileType(const char* extension, uint32_t type) noexcept {
  using namespace cvftp;
  if (type > kTypeImage) return Status(cvErrorInvalidFileType);
  if (!extension) return Status(cvErrorInvalidParameter);
  while (*extension == ' ' || *extension == '\t') ++extension;
  if (*extension == '.') ++extension;
  if (!*extension) return Status(cvErrorInvalidParameter);

  std::lock_guard lk(Library().lock());
  LibraryState& state = Library().state();
  for (uint32_t i = 0; i < state.fileTypeCount; ++i) {
    if (strcasecmp(state.fileTypes[i].extension, extension) == 0) {
      state.fileTypes[i].type = type;
      return {};
    }
  }
  if (state.fileTypeCount == state.fileTypeCapacity) {
    const uint32_t bigger = state.fileTypeCapacity + kFileTypeStep;
    auto* grown = static_cast<FileTypeEntry*>(Library().MemAlloc(sizeof(FileTypeEntry) * bigger));
    if (!grown) return Status(cvErrorOutOfMemory);
    if (state.fileTypeCount) std::memcpy(grown, state.fileTypes, sizeof(FileTypeEntry) * state.fileTypeCount);
    Library().MemFree(state.fileTypes);
    state.fileTypes = grown;
    state.fileTypeCapacity = bigger;
  }
  FileTypeEntry& e = state.fileTypes[state.fileTypeCount++];
  CopyField(e.extension, extension);
  e.type = type;
  return {};
}

}  // namespace

int32_t FtpAddFileType(const char* extension, uint32_t type) {
  using namespace cvftp;
  if (Library().AttachCount() == 0) return 0;  // nothing to add to, and no error to say so
  return Library().Finish(AddFileType(extension, type), 1, 0);
}
