// Server bug-compatibility flags from the server's software version, and version
// number comparison.
#include <cstring>
#include <initializer_list>

#include "ssh/proto/input.h"
#include "ssh/util/wildcard.h"

namespace {

bool Matches(const char* pattern, const char* text) { return WildcardMatch(pattern, text) == 1; }

bool AnyEquals(const char* text, std::initializer_list<const char*> values) {
  for (const char* v : values)
    if (std::strcmp(text, v) == 0) return true;
  return false;
}

bool AnyMatches(const char* text, std::initializer_list<const char*> patterns) {
  for (const char* p : patterns)
    if (Matches(p, text)) return true;
  return false;
}

// Reads a decimal number, saturating instead of overflowing.
int64_t Number(const char** p) {
  int64_t v = 0;
  while (**p >= '0' && **p <= '9') {
    if (v < 1000000000) v = v * 10 + (**p - '0');
    ++*p;
  }
  return v;
}

}  // namespace

int32_t SshVersionCompare(const char* a, const char* b) {
  int64_t majorA = Number(&a), majorB = Number(&b);
  if (majorA != majorB) return majorA < majorB ? -1 : 1;
  if (*a == '.') ++a;
  if (*b == '.') ++b;
  int64_t minorA = Number(&a), minorB = Number(&b);
  if (minorA != minorB) return minorA < minorB ? -1 : 1;
  return 0;
}

const char* SshSoftwareVersion(const char* line) {
  const char* first = std::strchr(line, '-');
  const char* second = first ? std::strchr(first + 1, '-') : nullptr;
  return second ? second + 1 : "";
}

uint32_t SshComputeBugFlags(const char* serverLine, SshSettings* settings) {
  const char* v = SshSoftwareVersion(serverLine);
  const uint32_t* sw = settings->CompatSwitches;
  uint32_t flags = 0;
  // Switch n: 0 forces the flag, 2 lets the version decide, anything else leaves it off.
  auto apply = [&](int n, uint32_t flag, bool automatic) {
    if (sw[n - 1] == 0 || (sw[n - 1] == 2 && automatic)) flags |= flag;
  };
  const bool vshell = Matches("* VShell", v);
  apply(1, SSH1_IGNORE_BUG,
        AnyEquals(v, {"1.2.18", "1.2.19", "1.2.20", "1.2.21", "1.2.22", "Cisco-1.25", "OSU_1.4alpha3",
                      "OSU_1.5alpha4"}));
  apply(2, SSH1_PLAIN_PASSWORD_BUG, AnyEquals(v, {"Cisco-1.25", "OSU_1.4alpha3"}));
  apply(3, SSH1_RSA_AUTH_BUG, AnyEquals(v, {"Cisco-1.25"}));
  apply(4, HMAC_BUG, !vshell && AnyMatches(v, {"2.1.0*", "2.0.*", "2.2.0*", "2.3.0*", "2.1 *"}));
  apply(5, DERIVE_KEY_BUG, !vshell && AnyMatches(v, {"2.0.0*", "2.0.10*"}));
  apply(6, RSA_PADDING_BUG, AnyMatches(v, {"OpenSSH_2.[5-9]*", "OpenSSH_3.[0-2]*"}));
  apply(7, PK_SESSION_ID_BUG, AnyMatches(v, {"OpenSSH_2.[0-2]*"}));
  apply(8, REKEY_BUG,
        AnyMatches(v, {"DigiSSH_2.0", "OpenSSH_2.[0-4]*", "OpenSSH_2.5.[0-3]*", "Sun_SSH_1.0", "Sun_SSH_1.0.1",
                       "WeOnlyDo-*"}));
  apply(10, OLD_GEX_BUG, AnyMatches(v, {"OpenSSH_2.[235]*"}));
  if (std::strcmp(v, "ROSSSH") == 0) settings->CompatSwitches[8] = 0;
  return flags;
}
