// Directory listings as the FTP client reads them: every line through the line parser in the
// session's format (detected from the first line that fits, or fixed), each entry copied into
// the caller's records; and every line read as an MLSD fact list as well.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ftp/listing/list_parser.h"
#include "fuzz_target.h"

namespace {

using namespace cvftp::listing;

constexpr uint32_t kSystems[] = {0, kSystemUnix, kSystemMsdos, kSystemWindows, kSystemVms, kSystemNetWare, kSystemOther};
constexpr uint32_t kFormats[] = {kFtpFormatAutoDetect, kFtpFormatUnix,    kFtpFormatMsdos,
                                 kFtpFormatVms,        kFtpFormatSterling1, kFtpFormatSterling2,
                                 kFtpFormatNetWare,    kFtpFormatMlsd,      kFtpFormatSftp};

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

void CheckInfo(const FtpFileInfoEx& info) {
  FUZZ_CHECK(Terminated(info.name) && Terminated(info.owner) && Terminated(info.group));
  FUZZ_CHECK(info.reserved == 0);
}

void ParseOne(const std::string& line, const ParseContext& context, uint32_t& format) {
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<void, Free> block(std::calloc(1, EntryBlockSize(line.size())));
  FtpListEntry* entry = PlaceEntry(block.get(), line);
  if (ParseLine(*entry, context, format) == LineResult::Entry) {
    FtpFileInfoEx info{};
    FillInfo(*entry, info);
    CheckInfo(info);
    FtpFileInfo narrow{};
    NarrowInfo(info, narrow);
    FUZZ_CHECK(Terminated(narrow.name));
  }
  FtpFileInfoEx facts;
  if (ParseFacts(line.c_str(), facts) == 0) CheckInfo(facts);
}

}  // namespace

CV_FUZZ_TARGET(ftp_listing) {
  cvfuzz::Input in(data, size);
  ParseContext context;
  context.systemType = kSystems[in.Below(std::size(kSystems))];
  uint32_t format = kFormats[in.Below(std::size(kFormats))];
  context.sftp = format == kFtpFormatSftp;
  context.currentYear = 2024;
  context.currentMonth = uint16_t(1 + in.Below(12));
  const std::string_view rest = in.Rest();
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('\n', start);
    if (end == std::string_view::npos) end = rest.size();
    std::string line(rest.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The client's lines never hold a NUL: the reader ends a line at it.
    line.resize(std::strlen(line.c_str()));
    if (!line.empty()) ParseOne(line, context, format);
    start = end + 1;
  }
}
