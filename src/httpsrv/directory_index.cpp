// The directory index page that answers a GET for a directory.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "httpsrv/httpsrv_internal.h"

namespace cvhttpsrv {
namespace {

// A name as a relative link: every byte but letters, digits and "-._~" percent-encoded, so
// "%", "#", "?", a colon (which would read as a scheme) and blanks reach the server as
// the name itself.
std::string EncodeLink(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : name) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (std::isalnum(u) || std::strchr("-._~", ch)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

struct Entry {
  std::string name;
  bool directory;
  int64_t modified;
  int64_t size;
};

// Collects the page's lines and sends them in large pieces, not a segment per line.
class PageWriter {
 public:
  explicit PageWriter(SOCKET socket) : socket_(socket) {}
  bool Line(const std::string& text) {
    page_ += text;
    page_ += "\r\n";
    return page_.size() < kPiece || Flush(true);
  }
  bool Flush(bool more) {
    const bool ok = InetWriteAll(socket_, page_.data(), page_.size(), more) != 0;
    page_.clear();
    return ok;
  }

 private:
  static constexpr size_t kPiece = 64 * 1024;
  SOCKET socket_;
  std::string page_;
};

std::string VirtualOf(const Client& c, const std::string& directory) {
  HttpSession& s = *c.session;
  std::string uri = s.uri;
  if (!uri.empty()) return uri;
  std::string root = s.root;
  if (PathInside(root, directory)) {
    std::string rest = directory.substr(std::min(root.size(), directory.size()));
    return rest.empty() ? "/" : rest;
  }
  return "/";
}

}  // namespace

bool SendDirectoryIndex(const Client& c, const std::string& directory, const std::string& pattern) {
  HttpServerRecord& r = *c.server;
  HttpSession& s = *c.session;
  const bool hidden = (r.options.load() & httpServerHiddenFiles) != 0;
  // "*.*" names every entry, dots or not.
  const bool all = pattern.empty() || pattern == "*.*" || pattern == "*";
  std::vector<Entry> entries;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return Fail(s.serverHandle, cvErrorAccessDenied), false;
  while (dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (!hidden && name[0] == '.') continue;
    if (!all && ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) != 0) continue;
    struct stat st {};
    if (::lstat((directory + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode) && ::stat((directory + "/" + name).c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    entries.push_back({name, S_ISDIR(st.st_mode), int64_t(st.st_mtime), int64_t(st.st_size)});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::strcoll(a.name.c_str(), b.name.c_str()) < 0;
  });
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  PageWriter out(s.controlSocket);
  const std::string where = HtmlEscape(VirtualOf(c, directory));
  SetState(s, SessionState::SendingBody);
  bool ok = out.Line(
                 "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
                 "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">") &&
            out.Line("<html xmlns=\"http://www.w3.org/1999/xhtml\">") && out.Line("<head>") &&
            out.Line("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />") &&
            out.Line("<title>Index of " + where + "</title>\r\n</head>\r\n<body>\r\n\r\n<h2>Index of " + where +
                             "</h2>") &&
            out.Line("<table cellpadding=\"2\" cellspacing=\"2\">") &&
            out.Line("  <tr>\r\n    <th>File Name</th>\r\n    <th>Last Modified</th>\r\n    <th>File Size</th>\r\n  "
                         "</tr>") &&
            out.Line("  <tr><td colspan=\"3\"><hr /></td></tr>") &&
            out.Line("  <tr><td colspan=\"3\">[ <a href=\"../\">Parent</a> ]</td></tr>");
  for (const Entry& e : entries) {
    if (!ok) break;
    const time_t t = time_t(e.modified);
    struct tm tm {};
    ::gmtime_r(&t, &tm);
    char when[64];
    std::snprintf(when, sizeof when, "%02d-%s-%04d %02d:%02d", tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min);
    const std::string shown = HtmlEscape(e.name + (e.directory ? "/" : ""));
    const std::string link = EncodeLink(e.name) + (e.directory ? "/" : "");
    ok = out.Line("  <tr>\r\n    <td><a href=\"" + link + "\">" + shown + "</a></td>\r\n    <td>" + when +
                  "</td>\r\n    <td>" + std::to_string(e.size) + "</td>\r\n  </tr>");
  }
  ok = ok && out.Line("  <tr><td colspan=\"3\"><hr /></td></tr>") && out.Line("</table>") &&
       out.Line("<p>" + HtmlEscape(r.identity) + " server at " + HtmlEscape(s.hostName) + " port " +
                           std::to_string(s.port) + "</p>") &&
       out.Line("</body>") && out.Line("</html>") && out.Flush(false);
  SetState(s, SessionState::Idle);
  s.lastActivity = Now();
  return ok;
}

}  // namespace cvhttpsrv

using namespace cvhttpsrv;

// A directory lists every entry; any other text is a directory and a name pattern ("*"
// and "?"); an empty text lists the current directory.
int32_t HttpSendDirectoryIndex(uint64_t server, uint32_t clientId, const char* text) {
  Client c = FindClient(server, clientId);
  if (!c) return 0;
  std::string directory = text ? text : "", pattern;
  if (directory.empty()) {
    directory = ".";
  } else if (!IsDirectory(directory)) {
    const size_t slash = directory.find_last_of('/');
    pattern = slash == std::string::npos ? directory : directory.substr(slash + 1);
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
  }
  return SendDirectoryIndex(c, directory, pattern) ? 1 : 0;
}
