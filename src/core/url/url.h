#pragma once
// URL vocabulary shared by the FTP and HTTP libraries (and the HTTP server): scheme tables,
// parse into one self-contained block, and composition. Parsed records are one zero-filled
// block whose text fields point into a copy of the URL kept behind the fixed fields; the
// caller frees the whole record with one call to UrlFree.
#include <cstdint>

struct HttpUrl {
  uint32_t scheme;  // 1 http, 2 https
  uint32_t port;
  char* host;       // an IPv6 literal without its brackets
  char* path;       // with its leading "/"
  char* query;      // text after the first "?", or null
  char* user;
  char* password;
};

struct FtpUrl {
  uint32_t scheme;  // 0 none, 1 ftp, 2 ftps/ftpes/ftp-authssl, 3 sftp
  uint32_t port;
  uint32_t type;    // 1 ASCII, 3 image
  char* host;
  char* path;       // no leading "/"
  char* file;       // or null
  char* user;
  char* password;
};

// Parse flags of HttpParseUrl.
inline constexpr uint32_t kHttpUrlNormalize = 4;
inline constexpr uint32_t kHttpUrlKeepQuery = 8;

// Removes "." and ".." segments in place; separators are "/" or "\".
char* HttpNormalizePath(char* text);

uint32_t HttpGetUrlScheme(const char* text);
int32_t HttpParseUrl(const char* text, uint32_t flags, HttpUrl** result);
int32_t HttpComposeUrl(const HttpUrl* url, char* buffer, uint32_t size);

uint32_t FtpUrlScheme(const char* text);
int32_t FtpParseUrl(const char* text, FtpUrl** result);
int32_t FtpComposeUrl(const FtpUrl* url, char* buffer, uint32_t size);

// 2 for an IPv4 literal, 23 for an IPv6 literal, 0 otherwise.
uint32_t SockAddressFamily(const char* text);

// Frees a record made by HttpParseUrl or FtpParseUrl (null is fine).
void UrlFree(void* record);
