// Month names of listing dates: the forms servers of many languages print, compared whole
// after folding case and the accents of Latin-1 letters (in Latin-1 or in UTF-8).
#include <cstring>

#include "ftp/listing/list_parser.h"

namespace {

struct MonthForm {
  const char* form;
  uint32_t month;
};

constexpr MonthForm kMonthForms[] = {
    {"january", 1},   {"jan", 1},      {"janv", 1},    {"djan", 1},     {"enero", 1},   {"genn", 1},
    {"ian", 1},       {"ianv", 1},     {"february", 2}, {"feb", 2},     {"febr", 2},    {"febbr", 2},
    {"fev", 2},       {"fevr", 2},     {"peb", 2},      {"march", 3},   {"mar", 3},     {"marco", 3},
    {"mart", 3},      {"maart", 3},    {"marts", 3},    {"mars", 3},    {"marzo", 3},   {"mrt", 3},
    {"apr", 4},       {"abr", 4},      {"abril", 4},    {"april", 4},   {"avril", 4},   {"may", 5},
    {"mai", 5},       {"maio", 5},     {"maios", 5},    {"magg", 5},    {"maj", 5},     {"mayo", 5},
    {"mei", 5},       {"june", 6},     {"jun", 6},      {"junho", 6},   {"juin", 6},    {"juni", 6},
    {"djuni", 6},     {"giugno", 6},   {"iiun", 6},     {"ioun", 6},    {"july", 7},    {"jul", 7},
    {"julho", 7},     {"juil", 7},     {"juli", 7},     {"djuli", 7},   {"iiul", 7},    {"ioul", 7},
    {"iuglio", 7},    {"august", 8},   {"aug", 8},      {"ag", 8},      {"agosto", 8},  {"aout", 8},
    {"september", 9}, {"sep", 9},      {"sept", 9},     {"set", 9},     {"sent", 9},    {"sett", 9},
    {"october", 10},  {"oktober", 10}, {"oct", 10},     {"okt", 10},    {"ott", 10},    {"out", 10},
    {"november", 11}, {"nov", 11},     {"noem", 11},    {"noiabr", 11}, {"nop", 11},    {"december", 12},
    {"dec", 12},      {"dek", 12},     {"des", 12},     {"dez", 12},    {"dic", 12},
};
static_assert(sizeof kMonthForms / sizeof kMonthForms[0] == 83);

// ASCII upper case to lower case, accented Latin-1 vowels (and y) to their base letter.
char Fold(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return char(c - 'A' + 'a');
  if ((c >= 192 && c <= 197) || (c >= 224 && c <= 229)) return 'a';
  if ((c >= 200 && c <= 203) || (c >= 232 && c <= 235)) return 'e';
  if ((c >= 204 && c <= 207) || (c >= 236 && c <= 239)) return 'i';
  if ((c >= 210 && c <= 216) || (c >= 242 && c <= 248)) return 'o';
  if ((c >= 217 && c <= 220) || (c >= 249 && c <= 252)) return 'u';
  if (c == 221 || c == 253 || c == 255) return 'y';
  return char(c);
}

}  // namespace

uint32_t FtpMonthFromName(const char* text) {
  if (!text || !*text) return 0;
  // No form is longer than nine letters: a longer text matches none.
  char folded[16];
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (n + 1 >= sizeof folded) return 0;
    unsigned char c = *p;
    // Servers in a UTF-8 locale list the same letters in two bytes ("M\xC3\xA4r"): the
    // sequences of U+00C0 to U+00FF are the Latin-1 letters.
    if (c == 0xC3 && p[1] >= 0x80 && p[1] <= 0xBF) c = static_cast<unsigned char>(0xC0 + (*++p & 0x3F));
    folded[n++] = Fold(c);
  }
  folded[n] = '\0';
  for (const MonthForm& f : kMonthForms)
    if (std::strcmp(folded, f.form) == 0) return f.month;
  return 0;
}
