// The content type of a file from its extension: the registry's registrations, then the
// built-in table, then the system's media type list; a look at the data otherwise.
#include <fstream>
#include <sstream>

#include "mime/mime_internal.h"
#include "platform/registry/registry.h"

namespace {

struct ExtensionRow {
  const char* type;
  const char* extensions;  // blank-separated, with their dots
};

constexpr ExtensionRow kExtensions[] = {
    {"application/mac-binhex40", ".hqx"},
    {"application/msaccess", ".mdb"},
    {"application/msword", ".doc .dot"},
    {"application/octet-stream", ".exe .bin .dll .class"},
    {"application/pdf", ".pdf"},
    {"application/pkcs10", ".p10"},
    {"application/pkcs7-mime", ".p7m"},
    {"application/pkcs7-signature", ".p7s"},
    {"application/pkix-cert", ".cer"},
    {"application/postscript", ".eps .ps"},
    {"application/x-cdf", ".cdf"},
    {"application/x-cdlink", ".vcd"},
    {"application/x-chess-pgn", ".pgn"},
    {"application/x-compress", ".z"},
    {"application/x-cpio", ".cpio"},
    {"application/x-csh", ".csh"},
    {"application/x-director", ".dcr .dir .dxr"},
    {"application/x-dvi", ".dvi"},
    {"application/x-gtar", ".gtar"},
    {"application/x-gzip", ".gzip .gz"},
    {"application/x-hdf", ".hdf"},
    {"application/x-javascript", ".js"},
    {"application/x-koan", ".skp .skd .skt .skm"},
    {"application/x-latex", ".latex"},
    {"application/x-msexcel", ".xla .xlb .xlc .xls"},
    {"application/x-mshelp", ".hlp"},
    {"application/x-pkcs7-certificate", ".spc"},
    {"application/x-sh", ".sh"},
    {"application/x-shar", ".shar"},
    {"application/x-shockwave-flash", ".swf"},
    {"application/x-stuffit", ".sit"},
    {"application/x-tar", ".tar"},
    {"application/x-tcl", ".tcl"},
    {"application/x-tex", ".tex"},
    {"application/x-texinfo", ".texinfo .texi"},
    {"application/x-troff", ".tr .roff"},
    {"application/x-troff-man", ".man"},
    {"application/x-uuencode", ".uue .uu"},
    {"application/x-vbscript", ".vbs"},
    {"application/x-zip-compressed", ".zip"},
    {"audio/aiff", ".aif .aiff .aifc"},
    {"audio/basic", ".au .snd"},
    {"audio/midi", ".mid .midi .rmi"},
    {"audio/mpeg", ".mpg .mpga .mp3"},
    {"audio/x-ms-wma", ".wma"},
    {"audio/x-pn-realaudio", ".ram .rm"},
    {"audio/x-pn-realaudio-plugin", ".rpm"},
    {"audio/x-realaudio", ".ra"},
    {"audio/x-voc", ".voc"},
    {"audio/x-wav", ".wav"},
    {"image/bmp", ".bmp .dib"},
    {"image/gif", ".gif"},
    {"image/ief", ".ief"},
    {"image/jpeg", ".jpg .jpe .jpeg"},
    {"image/png", ".png"},
    {"image/tiff", ".tif .tiff"},
    {"image/x-icon", ".ico"},
    {"image/x-ms-wmf", ".wmf"},
    {"image/x-pcx", ".pcx"},
    {"image/x-portable-anymap", ".pnm"},
    {"image/x-portable-bitmap", ".pbm"},
    {"image/x-portable-graymap", ".pgm"},
    {"image/x-portable-pixmap", ".ppm"},
    {"image/x-rgb", ".rgb"},
    {"image/x-xbitmap", ".xbm"},
    {"image/x-xpixmap", ".xpm"},
    {"model/vrml", ".wrl .vrml"},
    {"text/css", ".css"},
    {"text/html", ".htm .html .sht .shtm .shtml"},
    {"text/plain", ".asc .txt .text"},
    {"text/richtext", ".rtx"},
    {"text/rtf", ".rtf"},
    {"text/scriptlet", ".wsc"},
    {"text/sgml", ".sgm .sgml"},
    {"text/comma-separated-values", ".csv"},
    {"text/tab-separated-values", ".tsv"},
    {"text/xml", ".xml .xsl"},
    {"video/mpeg", ".mpg .mpe .mp2 .mpeg .mpv2"},
    {"video/quicktime", ".mov .qt"},
    {"video/x-ivf", ".ivf"},
    {"video/x-ms-asf", ".asf"},
    {"video/x-ms-asf-plugin", ".asx"},
    {"video/x-msvideo", ".avi"},
    {"video/x-sgi-movie", ".movie"},
};
static_assert(std::size(kExtensions) == 84);

bool ListsExtension(std::string_view list, std::string_view extension) {
  std::istringstream words{std::string(list)};
  std::string word;
  while (words >> word)
    if (cvmime::IEquals(word, extension)) return true;
  return false;
}

const char* const kMediaNames[] = {"application", "audio", "image", "message", "multipart", "text", "video", "widetext"};

// The registry's "Content Type" of the extension: its type text is matched with the start
// of a media type name.
bool FromRegistry(std::string_view extension, std::string& type, uint32_t& id) {
  const auto value = plat::RegGetString(plat::HKEY_CLASSES_ROOT, std::string(extension).c_str(), "Content Type");
  if (!value || value->empty()) return false;
  type = value->substr(0, 127);
  const std::string_view major = std::string_view(type).substr(0, type.find('/'));
  id = 0;
  for (uint32_t i = 0; i < std::size(kMediaNames); ++i) {
    if (cvmime::IStartsWith(kMediaNames[i], major)) {
      id = i + 1;
      break;
    }
  }
  return true;
}

// The system's media type list: "type/subtype ext ext ..." lines, extensions without dots.
bool FromSystemList(std::string_view extension, std::string& type) {
  std::ifstream in("/etc/mime.types");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string candidate, ext;
    if (!(words >> candidate)) continue;
    while (words >> ext) {
      if (cvmime::IEquals(ext, extension.substr(1))) {
        type = candidate;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

uint32_t MimeGetFileContentType(LibHandle, const char* fileName, char* buffer) {
  if (!fileName) return cvmime::Library().Finish(cvcore::Status(cvErrorInvalidParameter), 0u, 0u);
  std::string_view base = cvmime::BaseName(fileName);
  if (base.size() >= 2 && base[1] == ':') base.remove_prefix(2);
  const size_t dot = base.rfind('.');
  std::string type;
  uint32_t id = 0;
  bool found = false;
  if (dot != std::string_view::npos && dot + 1 < base.size()) {
    const std::string_view extension = base.substr(dot);
    found = FromRegistry(extension, type, id);
    if (!found) {
      for (const ExtensionRow& row : kExtensions) {
        if (ListsExtension(row.extensions, extension)) {
          type = row.type;
          found = true;
          break;
        }
      }
      if (!found) found = FromSystemList(extension, type);
      if (found) id = MimeMediaTypeId(type.c_str());
    }
  }
  if (!found) {
    const bool binary = MimeIsBinaryFile(fileName) == 1;
    type = binary ? "application/octet-stream" : "text/plain";
    id = binary ? kMimeMediaApplication : kMimeMediaText;
  }
  if (buffer) cvmime::CopyOut(type, buffer, 1024);
  return id;
}
