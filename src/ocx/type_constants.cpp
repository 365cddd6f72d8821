#include "ocx/type_constants.h"

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/errors/error_codes.h"

namespace ocx {
namespace {

using C = plat::com::TypeConstant;

constexpr C kSecurity[] = {
    {"cvProtocolNone", 0},       {"cvProtocolSSL2", 1},       {"cvProtocolSSL3", 2},     {"cvProtocolTLS1", 28},
    {"cvProtocolTLS10", 4},      {"cvProtocolTLS11", 8},      {"cvProtocolTLS12", 16},   {"cvProtocolSSL", 2},
    {"cvProtocolTLS", 28},       {"cvProtocolDefault", 16},   {"cvProtocolUnknown", 4096},
    {"cvCipherNone", 0},         {"cvCipherRC2", 1},          {"cvCipherRC4", 2},        {"cvCipherRC5", 4},
    {"cvCipherDES", 8},          {"cvCipherDES3", 16},        {"cvCipherDESX", 32},      {"cvCipherAES", 64},
    {"cvCipherSkipjack", 128},   {"cvCipherBlowfish", 256},   {"cvCipherUnknown", 4096},
    {"cvHashNone", 0},           {"cvHashMD5", 1},            {"cvHashSHA", 2},          {"cvHashSHA1", 2},
    {"cvHashSHA2", 4},           {"cvHashSHA256", 4},         {"cvHashSHA384", 8},       {"cvHashSHA512", 16},
    {"cvHashUnknown", 4096},
    {"cvKeyExchangeNone", 0},    {"cvKeyExchangeRSA", 1},     {"cvKeyExchangeKEA", 2},   {"cvKeyExchangeDH", 4},
    {"cvKeyExchangeECDH", 8},    {"cvKeyExchangeUnknown", 4096},
    {"cvCertificateNone", 0},    {"cvCertificateValid", 1},   {"cvCertificateNoMatch", 2},
    {"cvCertificateExpired", 3}, {"cvCertificateRevoked", 4}, {"cvCertificateUntrusted", 5},
    {"cvCertificateInvalid", 6},
};

// Names without their prefix.
constexpr C kTrace[] = {{"Default", 0}, {"Info", 0}, {"Error", 1}, {"Warning", 2}, {"HexDump", 4}, {"Process", 4096}};
constexpr C kPriority[] = {{"Background", 0}, {"Low", 1},     {"Normal", 2},  {"High", 3},   {"Critical", 4},
                           {"Invalid", -1},   {"Default", 2}, {"Lowest", 0},  {"Highest", 4}};

#define CV_ERROR_CONSTANT(name, number) {#name, number},
constexpr C kErrors[] = {CV_ERROR_CODE_LIST(CV_ERROR_CONSTANT)};
#undef CV_ERROR_CONSTANT

// A list with each name's first `drop` characters replaced by the prefix, built once and kept:
// the type libraries refer to it for the life of the process.
TypeConstants Prefixed(std::string_view prefix, TypeConstants base, size_t drop) {
  static std::mutex lock;
  static auto* lists = new std::map<std::pair<std::string, const C*>, std::vector<C>>;
  static auto* names = new std::deque<std::string>;
  std::lock_guard<std::mutex> guard(lock);
  std::vector<C>& list = (*lists)[{std::string(prefix), base.data()}];
  if (list.empty()) {
    for (const C& c : base) {
      names->push_back(std::string(prefix) + (c.name + drop));
      list.push_back({names->back().c_str(), c.value});
    }
  }
  return list;
}

}  // namespace

TypeConstants SecurityConstants() { return kSecurity; }
TypeConstants TraceConstants(std::string_view prefix) { return Prefixed(prefix, kTrace, 0); }
TypeConstants PriorityConstants(std::string_view prefix) { return Prefixed(prefix, kPriority, 0); }

TypeConstants ErrorConstants(std::string_view prefix) {
  constexpr size_t kSharedPrefix = 2;  // every shared name starts with "cv"
  return prefix == "cv" ? TypeConstants(kErrors) : Prefixed(prefix, kErrors, kSharedPrefix);
}

plat::com::TypeEnum ErrorCodesEnum() { return {"__ERRORCODES", ErrorConstants()}; }

}  // namespace ocx
