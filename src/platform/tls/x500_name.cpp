// X.500 name texts and certificate dates in the forms the libraries report.
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <ctime>
#include <string_view>

#include "platform/tls/tls_internal.h"

namespace plat::tlsdetail {
namespace {

std::string KeyFor(const ASN1_OBJECT* obj) {
  switch (OBJ_obj2nid(obj)) {
    case NID_commonName: return "CN";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_localityName: return "L";
    case NID_stateOrProvinceName: return "S";
    case NID_countryName: return "C";
    case NID_pkcs9_emailAddress: return "E";
    case NID_streetAddress: return "STREET";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_surname: return "SN";
    case NID_domainComponent: return "DC";
    case NID_serialNumber: return "SERIALNUMBER";
    default: break;
  }
  char oid[128];
  OBJ_obj2txt(oid, sizeof oid, obj, 1);
  return std::string("OID.") + oid;
}

std::string ValueText(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, value);
  std::string text = n >= 0 ? std::string(reinterpret_cast<char*>(utf8), size_t(n)) : std::string();
  OPENSSL_free(utf8);
  bool quote = text.empty() || text.front() == ' ' || text.back() == ' ' ||
               text.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string X500NameText(const X509_NAME* name, bool reverse) {
  std::string out;
  int count = X509_NAME_entry_count(name);
  int lastSet = -1;
  for (int k = 0; k < count; ++k) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, reverse ? count - 1 - k : k);
    int set = X509_NAME_ENTRY_set(e);
    if (k > 0) out += set == lastSet ? " + " : ", ";
    lastSet = set;
    out += KeyFor(X509_NAME_ENTRY_get_object(e));
    out += '=';
    out += ValueText(X509_NAME_ENTRY_get_data(e));
  }
  return out;
}

TlsDateTime DateTimeFromAsn1(const ASN1_TIME* t) {
  TlsDateTime dt{};
  struct tm tm {};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return dt;
  time_t secs = timegm(&tm);  // normalises and fills the weekday
  gmtime_r(&secs, &tm);
  dt.wYear = uint16_t(tm.tm_year + 1900);
  dt.wMonth = uint16_t(tm.tm_mon + 1);
  dt.wDayOfWeek = uint16_t(tm.tm_wday);
  dt.wDay = uint16_t(tm.tm_mday);
  dt.wHour = uint16_t(tm.tm_hour);
  dt.wMinute = uint16_t(tm.tm_min);
  dt.wSecond = uint16_t(tm.tm_sec);
  return dt;
}

}  // namespace plat::tlsdetail
