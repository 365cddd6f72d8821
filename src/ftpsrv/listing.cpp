// Directory listings: one entry in each list style, the sorted listing on a data
// connection, and the LIST, NLST, MLSD and MLST commands.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ftpsrv/ftpsrv_internal.h"
#include "ftpsrv/handlers.h"
#include "ftpsrv/local_fs.h"

namespace cvftpsrv {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool HasControlBytes(const char* name) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
    if ((*p < 32 && *p != '\t') || *p == 127) return true;
  return false;
}

struct tm TimeOf(int64_t when, bool local) {
  struct tm t {};
  const time_t v = time_t(when);
  if (local) ::localtime_r(&v, &t);
  else ::gmtime_r(&v, &t);
  return t;
}

}  // namespace

bool ListedEntry(const Client& c, const std::string& directory, const FtpFindEntry& e, bool hideTilde) {
  if (e.attributes & ftpAttributeDevice) return false;
  if (!(c.server->options.load() & ftpServerHiddenFiles) &&
      (e.name[0] == '.' || (hideTilde && e.name[0] == '~') || (e.attributes & (ftpAttributeHidden | ftpAttributeSystem))))
    return false;
  // A name with control bytes would make lines of its own in the listing; such a name
  // cannot be sent in a command either (a tab can, and stays within its line).
  if (HasControlBytes(e.name)) return false;
  // A link that leads out of the client's root is not part of its tree.
  const std::string full = directory + "/" + e.name;
  return !IsLink(full) || InsideRoot(VirtualRoot(*c.server, *c.session), full);
}

std::string EntriesDirectory(const std::string& path) {
  uint32_t attributes = 0;
  if (GetAttributes(path, &attributes) && IsDirectoryAttr(attributes)) return path;
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace cvftpsrv

using namespace cvftpsrv;

int32_t FtpFormatListEntry(const FtpFindEntry* e, uint32_t style, int32_t localTime, char* out) {
  if (!e || !out) return 0;
  out[0] = '\0';
  const bool dir = (e->attributes & ftpAttributeDirectory) != 0;
  const bool readOnly = (e->attributes & ftpAttributeReadOnly) != 0;
  const unsigned long long size = e->size;
  int n = 0;
  switch (style) {
    case ftpListNames: n = std::snprintf(out, 512, "%s", e->name); break;
    case ftpListMsdos: {
      const struct tm t = TimeOf(e->lastWrite, localTime != 0);
      const int year = t.tm_year + 1900;
      const int hour = t.tm_hour > 12 ? t.tm_hour - 12 : t.tm_hour;
      char date[64];
      std::snprintf(date, sizeof date, "%02d-%02d-%02d  %02d:%02d%s", t.tm_mon + 1, t.tm_mday,
                    year >= 2000 ? year - 2000 : year, hour, t.tm_min, t.tm_hour > 12 ? "PM" : "AM");
      if (dir) n = std::snprintf(out, 512, "%-24s %-16s %s", date, "<DIR>", e->name);
      else n = std::snprintf(out, 512, "%-24s %16llu %s", date, size, e->name);
      break;
    }
    case ftpListUnix: {
      char mode[] = "-rw-rw-rw-";
      int links = 1;
      unsigned long long shown = size;
      if (dir) {
        mode[0] = 'd';
        links = 2;
        shown = 4096;
      }
      if (dir || FtpIsExecutableName(e->name)) mode[3] = mode[6] = mode[9] = 'x';
      if (readOnly) mode[2] = mode[5] = mode[8] = '-';
      const struct tm t = TimeOf(e->lastWrite, localTime != 0);
      const struct tm now = TimeOf(int64_t(::time(nullptr)), false);
      char when[32];
      if (t.tm_year < now.tm_year)
        std::snprintf(when, sizeof when, "%s %2d %5d", kMonths[t.tm_mon], t.tm_mday, t.tm_year + 1900);
      else
        std::snprintf(when, sizeof when, "%s %2d %02d:%02d", kMonths[t.tm_mon], t.tm_mday, t.tm_hour, t.tm_min);
      n = std::snprintf(out, 512, "%s %3d %8s %8s %12llu %12s %s", mode, links, "owner", "group", shown, when, e->name);
      break;
    }
    case ftpListFacts:
    case ftpListFacts + 1:
    case ftpListFacts + 2: {
      const struct tm t = TimeOf(e->lastWrite, false);
      char modify[32];
      std::snprintf(modify, sizeof modify, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                    t.tm_hour, t.tm_min, t.tm_sec);
      std::string facts;
      char buf[512];
      if (dir) {
        const char* type = std::strcmp(e->name, ".") == 0 ? "cdir" : std::strcmp(e->name, "..") == 0 ? "pdir" : "dir";
        std::snprintf(buf, sizeof buf, "type=%s;modify=%s;perm=%s;", type, modify, readOnly ? "el" : "cdeflmp");
      } else {
        std::snprintf(buf, sizeof buf, "type=file;size=%llu;modify=%s;perm=%s;", size, modify, readOnly ? "fr" : "adfrw");
      }
      facts = buf;
      if (style & 2) {
        unsigned mode = readOnly ? 0444 : 0666;
        if (dir || FtpIsExecutableName(e->name)) mode += 0111;
        std::snprintf(buf, sizeof buf, "UNIX.mode=0%o;UNIX.owner=%s;UNIX.group=%s;", mode, "owner", "group");
        facts += buf;
      } else if (style & 1) {
        std::snprintf(buf, sizeof buf, "Win32.ea=%08lx;", static_cast<unsigned long>(e->attributes));
        facts += buf;
      }
      n = std::snprintf(out, 512, "%s %s", facts.c_str(), e->name);
      break;
    }
    default: return 0;
  }
  if (n < 0) return 0;
  return int32_t(std::min<size_t>(size_t(n), 511));
}

int32_t FtpSessionSendListing(uint64_t server, uint32_t clientId, uint32_t style, const char* path) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  FtpServerSession& s = *c.session;
  if (s.dataSocket.load() == INVALID_SOCKET) return Fail(server, cvErrorNotConnected, 0);
  if (const uint32_t err = TakeDataConnection(c)) return Fail(server, err, 0);
  const uint32_t options = c.server->options.load();
  std::vector<FtpFindEntry> found, entries;
  // Every entry is listed: a client that gets a cut listing would take it for the whole.
  if (!path || !FindEntries(path, found, SIZE_MAX, true)) return Fail(server, cvErrorAccessDenied, 0);
  const std::string directory = EntriesDirectory(path);
  for (const FtpFindEntry& e : found)
    if (ListedEntry(c, directory, e, false)) entries.push_back(e);
  s.state.store(kFtpStateListing);
  std::sort(entries.begin(), entries.end(),
            [](const FtpFindEntry& a, const FtpFindEntry& b) { return std::strcmp(a.name, b.name) < 0; });
  const SOCKET data = s.dataSocket.load();
  const bool local = (options & ftpServerLocalTime) != 0;
  uint32_t err = 0;
  std::string batch;
  auto flush = [&]() {
    if (batch.empty()) return true;
    for (size_t done = 0; done < batch.size();) {
      const int32_t n = InetWrite(data, batch.data() + done, int32_t(batch.size() - done));
      if (n <= 0) return false;
      done += size_t(n);
    }
    batch.clear();
    return true;
  };
  for (const FtpFindEntry& e : entries) {
    if (s.abortFlag.load() || s.ending.load()) {
      err = cvErrorOperationCanceled;
      break;
    }
    char line[512];
    const int32_t n = FtpFormatListEntry(&e, style, local, line);
    batch.append(line, size_t(n));
    if (n < 510) batch += "\r\n";
    if (batch.size() >= 8192 && !flush()) {
      err = InetGetLastError() ? InetGetLastError() : cvErrorConnectionAborted;
      break;
    }
  }
  if (err == 0 && !flush()) err = InetGetLastError() ? InetGetLastError() : cvErrorConnectionAborted;
  s.state.store(kFtpStateIdle);
  s.lastActivity.store(Now());
  if (err != 0) return Fail(server, err, 0);
  InetSetLastError(0);
  return 1;
}

namespace cvftpsrv {

void CmdList(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  const std::string verb = Token(s, 0);
  if (!(s.access.load() & ftpAccessList)) return void(ReplyF(c, 502, "%s command not allowed", verb.c_str()));
  uint32_t style = s.listStyle;
  if (verb == "NLST") style = ftpListNames;
  else if (verb == "MLSD") style += ftpListFacts;
  // Clients send ls options ("LIST -la"): leading arguments beginning with "-" that do not
  // name an existing entry are skipped (MLSD takes its argument as it is).
  uint32_t first = 0;
  if (verb != "MLSD" && GetText(s, s.resolvedPath).empty()) {  // a path the host set stands
    for (uint32_t k = 1; k < s.tokenCount && Token(s, k)[0] == '-'; ++k) {
      const std::string candidate = ResolveArgumentFrom(c, k);
      SetText(s, s.resolvedPath, "");
      if (!candidate.empty() && GetAttributes(candidate, nullptr)) break;
      first = k + 1;
    }
  }
  const std::string path = ResolveArgumentFrom(c, first);
  if (path.empty()) return void(Reply(c, 553));
  if (!OpenActiveIfNeeded(c)) return void(Reply(c, 425, "Unable to build data connection"));
  Reply(c, 150, "Opening data connection for file list");
  const int32_t ok = FtpSessionSendListing(c.server->serverHandle.load(), s.clientId, style, path.c_str());
  const uint32_t err = InetGetLastError();
  CloseData(s);
  if (ok) {
    Reply(c, 226, "Transfer complete");
  } else {
    Reply(c, 450, "No such file or directory");
    Fail(c.server->serverHandle.load(), err);
  }
}

void CmdMlst(const Client& c, uint32_t) {
  FtpServerSession& s = *c.session;
  if (!(s.access.load() & ftpAccessList)) return void(ReplyF(c, 502, "%s command not allowed", Token(s, 0)));
  std::string path;
  if (s.tokenCount < 2) path = GetText(s, s.currentDirectory);
  else if ((path = ResolveArgument(c)).empty()) return void(Reply(c, 553));
  const std::string shown = VirtualOf(*c.server, s, path);
  std::vector<FtpFindEntry> entries;
  if (!StatEntries(c, path, entries)) return void(Reply(c, 450, "No such file or directory"));
  WriteControlLine(c, "250-Start of list for " + shown);
  for (const FtpFindEntry& e : entries) {
    char line[512];
    FtpFormatListEntry(&e, s.listStyle + ftpListFacts, 0, line);
    WriteControlLine(c, std::string(" ") + line);
  }
  WriteControlLine(c, "250 End of list");
  MarkAnswered(c, 250, std::string(Token(s, 0)) + " command successful");
}

}  // namespace cvftpsrv
