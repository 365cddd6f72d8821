// Media types of file names: the built-in table, then the system's registered types
// (the registry's class keys, then the system's media type list), and the class of a type.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "http/http.h"
#include "platform/registry/registry.h"

namespace {

struct TypeRow {
  const char* extension;
  const char* type;
};

// First match wins.
constexpr TypeRow kTypes[] = {
    {".a", "application/octet-stream"},
    {".ai", "application/postscript"},
    {".aif", "audio/aiff"},
    {".aifc", "audio/aiff"},
    {".aiff", "audio/aiff"},
    {".aps", "application/mime"},
    {".arc", "application/octet-stream"},
    {".arj", "application/octet-stream"},
    {".asf", "video/x-ms-asf"},
    {".asm", "text/x-asm"},
    {".asp", "text/asp"},
    {".asx", "video/x-ms-asf"},
    {".au", "audio/basic"},
    {".avi", "video/x-msvideo"},
    {".b64", "application/base64"},
    {".bin", "application/octet-stream"},
    {".bmp", "image/bmp"},
    {".bz", "application/x-bzip"},
    {".bz2", "application/x-bzip2"},
    {".c", "text/plain"},
    {".cco", "application/x-cocoa"},
    {".cdf", "application/x-cdf"},
    {".cer", "application/x-x509-ca-cert"},
    {".cf", "text/plain"},
    {".chm", "application/octet-stream"},
    {".class", "application/java"},
    {".cnt", "text/plain"},
    {".com", "application/octet-stream"},
    {".conf", "text/plain"},
    {".cpio", "application/x-cpio"},
    {".cpp", "text/x-c"},
    {".crl", "application/pkix-crl"},
    {".crt", "application/x-x509-ca-cert"},
    {".csh", "application/x-csh"},
    {".css", "text/css"},
    {".csv", "text/csv"},
    {".dat", "application/octet-stream"},
    {".def", "text/plain"},
    {".der", "application/x-x509-ca-cert"},
    {".dll", "application/octet-stream"},
    {".doc", "application/msword"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".dot", "application/msword"},
    {".dotx", "application/vnd.openxmlformats-officedocument.wordprocessingml.template"},
    {".dvi", "application/x-dvi"},
    {".el", "text/x-script.elisp"},
    {".eml", "message/rfc822"},
    {".eps", "application/postscript"},
    {".exe", "application/octet-stream"},
    {".f", "text/x-fortran"},
    {".f77", "text/x-fortran"},
    {".f90", "text/x-fortran"},
    {".fli", "video/x-fli"},
    {".for", "text/x-fortran"},
    {".gif", "image/gif"},
    {".gtar", "application/x-gtar"},
    {".gz", "application/x-gzip"},
    {".gzip", "application/x-gzip"},
    {".h", "text/plain"},
    {".hha", "text/plain"},
    {".hhc", "text/plain"},
    {".hhk", "text/plain"},
    {".hhp", "text/plain"},
    {".hlp", "application/winhlp"},
    {".hpp", "text/plain"},
    {".hqx", "application/mac-binhex40"},
    {".hta", "application/hta"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".htmla", "text/html"},
    {".htmls", "text/html"},
    {".htmlx", "text/html"},
    {".htt", "text/webviewhtml"},
    {".htx", "text/html"},
    {".ico", "image/x-icon"},
    {".idl", "text/plain"},
    {".imap", "application/x-httpd-imap"},
    {".ivr", "image/x-ivr"},
    {".jam", "audio/x-jam"},
    {".jav", "text/x-java-source"},
    {".java", "text/x-java-source"},
    {".jcm", "application/x-java-commerce"},
    {".jpe", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jps", "image/x-jps"},
    {".js", "application/x-javascript"},
    {".ksh", "application/x-ksh"},
    {".lam", "audio/x-liveaudio"},
    {".latex", "application/x-latex"},
    {".lha", "application/octet-stream"},
    {".lhx", "application/octet-stream"},
    {".lib", "application/octet-stream"},
    {".list", "text/plain"},
    {".lma", "audio/nspaudio"},
    {".log", "text/plain"},
    {".lsp", "text/x-script.lisp"},
    {".lst", "text/plain"},
    {".lsx", "text/x-la-asf"},
    {".ltx", "application/x-latex"},
    {".lzh", "application/octet-stream"},
    {".lzx", "application/octet-stream"},
    {".m1v", "video/mpeg"},
    {".m2a", "audio/mpeg"},
    {".m2v", "video/mpeg"},
    {".m3u", "audio/x-mpegurl"},
    {".man", "application/x-troff-man"},
    {".mc", "application/x-magic-cap-package-1.0"},
    {".mcd", "application/mcad"},
    {".mht", "message/rfc822"},
    {".mhtml", "message/rfc822"},
    {".mid", "audio/mid"},
    {".midi", "audio/mid"},
    {".mime", "message/rfc822"},
    {".mjpg", "video/x-motion-jpeg"},
    {".mm", "application/base64"},
    {".mme", "application/base64"},
    {".mod", "audio/mod"},
    {".mov", "video/quicktime"},
    {".movie", "video/x-sgi-movie"},
    {".mp2", "video/mpeg"},
    {".mp3", "audio/mpeg3"},
    {".mpa", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".mpeg", "video/mpeg"},
    {".mpg", "video/mpeg"},
    {".mpga", "audio/mpeg"},
    {".mpp", "application/vnd.ms-project"},
    {".o", "application/octet-stream"},
    {".obj", "application/octet-stream"},
    {".ocx", "application/octet-stream"},
    {".p", "text/x-pascal"},
    {".p10", "application/pkcs10"},
    {".p12", "application/x-pkcs12"},
    {".p7a", "application/x-pkcs7-signature"},
    {".p7c", "application/pkcs7-mime"},
    {".p7m", "application/pkcs7-mime"},
    {".p7r", "application/x-pkcs7-certreqresp"},
    {".p7s", "application/pkcs7-signature"},
    {".pas", "text/pascal"},
    {".pbm", "image/x-portable-bitmap"},
    {".pcl", "application/x-pcl"},
    {".pct", "image/x-pict"},
    {".pcx", "image/x-pcx"},
    {".pdf", "application/pdf"},
    {".pgm", "image/x-portable-graymap"},
    {".pic", "image/pict"},
    {".pict", "image/pict"},
    {".pko", "application/vnd.ms-pki.pko"},
    {".pl", "text/plain"},
    {".pm", "text/x-script.perl-module"},
    {".pm4", "application/x-pagemaker"},
    {".pm5", "application/x-pagemaker"},
    {".png", "image/png"},
    {".pnm", "image/x-portable-anymap"},
    {".pot", "application/vnd.ms-powerpoint"},
    {".potx", "application/vnd.openxmlformats-officedocument.presentationml.template"},
    {".ppa", "application/vnd.ms-powerpoint"},
    {".ppm", "image/x-portable-pixmap"},
    {".pps", "application/vnd.ms-powerpoint"},
    {".ppsx", "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".ppz", "application/mspowerpoint"},
    {".ps", "application/postscript"},
    {".psd", "application/octet-stream"},
    {".pwz", "application/vnd.ms-powerpoint"},
    {".py", "text/x-script.phyton"},
    {".qif", "image/x-quicktime"},
    {".qt", "video/quicktime"},
    {".qtc", "video/x-qtc"},
    {".qti", "image/x-quicktime"},
    {".qtif", "image/x-quicktime"},
    {".ra", "audio/x-realaudio"},
    {".ram", "audio/x-pn-realaudio"},
    {".rc", "text/plain"},
    {".rexx", "text/x-script.rexx"},
    {".rf", "image/vnd.rn-realflash"},
    {".rgb", "image/x-rgb"},
    {".rm", "audio/x-pn-realaudio"},
    {".rmi", "audio/mid"},
    {".rmm", "audio/x-pn-realaudio"},
    {".rmp", "audio/x-pn-realaudio"},
    {".rnx", "application/vnd.rn-realplayer"},
    {".roff", "application/x-troff"},
    {".rp", "image/vnd.rn-realpix"},
    {".rpm", "audio/x-pn-realaudio-plugin"},
    {".rtf", "application/rtf"},
    {".rv", "video/vnd.rn-realvideo"},
    {".s3m", "audio/s3m"},
    {".scm", "text/x-script.scheme"},
    {".sdml", "text/plain"},
    {".sgm", "text/sgml"},
    {".sgml", "text/sgml"},
    {".sh", "application/x-sh"},
    {".shtml", "text/html"},
    {".sld", "application/x-sld"},
    {".sldx", "application/vnd.openxmlformats-officedocument.presentationml.slide"},
    {".snd", "audio/basic"},
    {".spc", "application/x-pkcs7-certificates"},
    {".ssi", "text/x-server-parsed-html"},
    {".sst", "application/vnd.ms-pki.certstore"},
    {".stl", "application/vnd.ms-pki.stl"},
    {".svf", "image/x-dwg"},
    {".swf", "application/x-shockwave-flash"},
    {".t", "application/x-troff"},
    {".talk", "text/x-speech"},
    {".tar", "application/x-tar"},
    {".tcl", "application/x-tcl"},
    {".tcsh", "text/x-script.tcsh"},
    {".tex", "application/x-tex"},
    {".texi", "application/x-texinfo"},
    {".texinfo", "application/x-texinfo"},
    {".text", "text/plain"},
    {".tgz", "application/x-compressed"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".tr", "application/x-troff"},
    {".txt", "text/plain"},
    {".uu", "text/x-uuencode"},
    {".uue", "text/x-uuencode"},
    {".vb", "text/plain"},
    {".vbs", "text/vbscript"},
    {".vcd", "application/x-cdlink"},
    {".vcs", "text/x-vcalendar"},
    {".vox", "application/octet-stream"},
    {".vrml", "application/x-vrml"},
    {".vsd", "application/x-visio"},
    {".vst", "application/x-visio"},
    {".vsw", "application/x-visio"},
    {".wav", "audio/wav"},
    {".wiz", "application/msword"},
    {".wmf", "application/x-msmetafile"},
    {".word", "application/msword"},
    {".wp", "application/wordperfect"},
    {".wp5", "application/wordperfect"},
    {".wp5", "application/wordperfect"},
    {".wp6", "application/wordperfect"},
    {".wpd", "application/wordperfect"},
    {".wq1", "application/x-lotus"},
    {".wri", "application/mswrite"},
    {".xbm", "image/x-xbitmap"},
    {".xif", "image/vnd.xiff"},
    {".xl", "application/excel"},
    {".xla", "application/vnd.ms-excel"},
    {".xlam", "application/vnd.ms-excel.addin.macroEnabled.12"},
    {".xlb", "application/vnd.ms-excel"},
    {".xlc", "application/vnd.ms-excel"},
    {".xld", "application/vnd.ms-excel"},
    {".xlk", "application/vnd.ms-excel"},
    {".xll", "application/vnd.ms-excel"},
    {".xlm", "application/vnd.ms-excel"},
    {".xls", "application/vnd.ms-excel"},
    {".xlsb", "application/vnd.ms-excel.sheet.binary.macroEnabled.12"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".xlt", "application/vnd.ms-excel"},
    {".xltx", "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
    {".xlv", "application/vnd.ms-excel"},
    {".xlw", "application/vnd.ms-excel"},
    {".xlw", "application/vnd.ms-excel"},
    {".xm", "audio/xm"},
    {".xml", "text/xml"},
    {".xpm", "image/x-xpixmap"},
    {".z", "application/x-compress"},
    {".zip", "application/x-zip-compressed"},
    {".zsh", "text/x-script.zsh"},
};

constexpr const char* kClasses[] = {"application", "text", "audio", "image", "message", "multipart", "video"};
constexpr const char* kDefaultType = "application/octet-stream";

void Put(char* buffer, const char* type) {
  std::strncpy(buffer, type, 127);
  buffer[127] = '\0';
}

// The system's media type list: "type ext ext ..." lines.
bool FromSystemList(const char* extension, std::string& type) {
  std::ifstream in("/etc/mime.types");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string t, e;
    words >> t;
    while (words >> e)
      if (strcasecmp(e.c_str(), extension + 1) == 0) {
        type = t;
        return true;
      }
  }
  return false;
}

}  // namespace

int32_t HttpContentTypeClass(const char* type) {
  if (!type) return 0;
  while (std::isspace(static_cast<unsigned char>(*type))) ++type;
  char top[128];
  size_t n = 0;
  for (; n < 127 && type[n] && type[n] != '/'; ++n) top[n] = char(std::tolower(static_cast<unsigned char>(type[n])));
  top[n] = '\0';
  if (n == 0) return 0;
  for (int32_t i = 0; i < 7; ++i)
    if (std::strcmp(top, kClasses[i]) == 0) return i + 1;
  return 0;
}

int32_t HttpGetContentType(const char* fileName, char* buffer) {
  if (!buffer) return 0;
  buffer[0] = '\0';
  if (!fileName || !*fileName) return 0;
  const char* name = fileName;
  if (const char* p = std::strrchr(fileName, '\\'))
    name = p + 1;
  else if (const char* q = std::strrchr(fileName, '/'))
    name = q + 1;
  else if (std::strlen(fileName) >= 3 && fileName[1] == ':')
    name = fileName + 2;
  const char* extension = std::strrchr(name, '.');
  if (!extension || extension[1] == '\0') {
    Put(buffer, kDefaultType);
    return 1;
  }
  for (const TypeRow& row : kTypes) {
    if (strcasecmp(row.extension, extension) == 0) {
      Put(buffer, row.type);
      if (int32_t c = HttpContentTypeClass(buffer)) return c;
      break;
    }
  }
  std::string type;
  if (auto v = plat::RegGetString(plat::HKEY_CLASSES_ROOT, extension, "Content Type"))
    type = *v;
  else
    FromSystemList(extension, type);
  if (!type.empty()) {
    Put(buffer, type.c_str());
    if (int32_t c = HttpContentTypeClass(buffer)) return c;
  }
  Put(buffer, kDefaultType);
  return 1;
}
