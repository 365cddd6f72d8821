// The made-up X11 cookie, its check against a client's connection setup (with replay
// detection for XDM-AUTHORIZATION-1), and the display name helpers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ssh/crypto/cipher.h"
#include "ssh/crypto/ct_compare.h"
#include "ssh/crypto/random_pool.h"
#include "ssh/util/alloc.h"
#include "ssh/util/strings.h"
#include "ssh/util/tree234.h"
#include "ssh/x11/x11.h"

namespace {

constexpr uint32_t kXdmWindowSeconds = 1200;

struct Replay {
  uint32_t time;
  uint8_t peer[6];  // address, then port
};

int CompareReplays(void* a, void* b) {
  auto* x = static_cast<Replay*>(a);
  auto* y = static_cast<Replay*>(b);
  if (x->time != y->time) return x->time < y->time ? -1 : 1;
  return std::memcmp(x->peer, y->peer, sizeof x->peer);
}

int64_t RealClock() { return int64_t(std::time(nullptr)); }
int64_t (*g_clock)() = RealClock;

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

const char* CheckXdm(uint32_t peerAddress, int32_t peerPort, X11Auth* auth, const uint8_t* data, uint32_t length) {
  if (length != 24) return "XDM-AUTHORIZATION-1 data was wrong length";
  if (peerPort == -1) return "cannot do XDM-AUTHORIZATION-1 without remote address data";
  uint8_t plain[24];
  std::memcpy(plain, data, 24);
  DesXdmDecrypt(auth->data + 9, plain);
  static const uint8_t kZero[6] = {};
  bool ok = SshConstTimeEqual(plain, auth->data, 8) && Be32(plain + 8) == peerAddress &&
            (uint32_t(plain[12]) << 8 | plain[13]) == uint32_t(peerPort) && std::memcmp(plain + 18, kZero, 6) == 0;
  uint32_t stamp = Be32(plain + 14);
  explicit_bzero(plain, sizeof plain);
  if (!ok) return "XDM-AUTHORIZATION-1 data failed check";
  int64_t now = g_clock();
  if (now - int64_t(stamp) > kXdmWindowSeconds || int64_t(stamp) - now > kXdmWindowSeconds)
    return "XDM-AUTHORIZATION-1 time stamp was too far out";
  auto* record = static_cast<Replay*>(CheckedAlloc(1, sizeof(Replay)));
  if (!record) return "XDM-AUTHORIZATION-1 data replayed";
  record->time = stamp;
  record->peer[0] = uint8_t(peerAddress >> 24);
  record->peer[1] = uint8_t(peerAddress >> 16);
  record->peer[2] = uint8_t(peerAddress >> 8);
  record->peer[3] = uint8_t(peerAddress);
  record->peer[4] = uint8_t(peerPort >> 8);
  record->peer[5] = uint8_t(peerPort);
  if (TreeAdd(auth->replays, record) != record) {
    CheckedFree(record);
    return "XDM-AUTHORIZATION-1 data replayed";
  }
  // Records too old to be accepted again are no longer needed.
  while (auto* oldest = static_cast<Replay*>(TreeIndex(auth->replays, 0))) {
    if (int64_t(oldest->time) >= int64_t(stamp) - kXdmWindowSeconds) break;
    TreeDeleteAt(auth->replays, 0);
    CheckedFree(oldest);
  }
  return nullptr;
}

}  // namespace

const char* X11ProtocolName(uint32_t protocol) {
  static const char* const kNames[] = {"", "MIT-MAGIC-COOKIE-1", "XDM-AUTHORIZATION-1"};
  return protocol < 3 ? kNames[protocol] : "";
}

X11Auth* X11MakeAuth(char protocolName[20], char cookieText[64], uint32_t authType) {
  auto* auth = static_cast<X11Auth*>(cvssh::AllocOrDie(sizeof(X11Auth)));
  std::memset(auth, 0, sizeof *auth);
  auth->protocol = authType == 1 ? 1 : 2;
  auth->length = 16;
  for (uint32_t i = 0; i < auth->length; ++i) auth->data[i] = RandomByte();
  if (auth->protocol == 2) {
    auth->data[8] = 0;
    auth->replays = TreeNew(CompareReplays);
  }
  std::snprintf(protocolName, 20, "%s", X11ProtocolName(auth->protocol));
  for (uint32_t i = 0; i < auth->length; ++i) std::snprintf(cookieText + 2 * i, 3, "%02x", auth->data[i]);
  X11InitLocalAuth(auth);
  return auth;
}

void X11InitLocalAuth(X11Auth* auth) {
  auth->localProtocol = 0;
  auth->localLength = 64;
}

void X11FreeAuth(X11Auth* auth) {
  if (!auth) return;
  if (auth->replays) {
    while (void* r = TreeDeleteAt(auth->replays, 0)) CheckedFree(r);
    TreeFree(auth->replays);
  }
  explicit_bzero(auth, sizeof *auth);
  CheckedFree(auth);
}

const char* X11CheckAuth(uint32_t peerAddress, int32_t peerPort, X11Auth* auth, const char* protocolName,
                         const uint8_t* data, uint32_t length) {
  if (std::strcmp(protocolName, X11ProtocolName(auth->protocol)) != 0)
    return "wrong authentication protocol attempted";
  if (auth->protocol == 1) {
    if (length != auth->length) return "MIT-MAGIC-COOKIE-1 data was wrong length";
    if (!SshConstTimeEqual(data, auth->data, auth->length)) return "MIT-MAGIC-COOKIE-1 data did not match";
    return nullptr;
  }
  return CheckXdm(peerAddress, peerPort, auth, data, length);
}

void X11SetClock(int64_t (*now)()) { g_clock = now ? now : RealClock; }

int32_t X11ScreenNumber(const char* display) {
  const char* colon = std::strchr(display, ':');
  if (!colon) return 0;
  const char* dot = std::strchr(colon, '.');
  return dot ? std::atoi(dot + 1) : 0;
}

char* X11DisplayName(const char* display) {
  if (!display || !*display) display = std::getenv("DISPLAY");
  if (!display || !*display) display = ":0";
  return display[0] == ':' ? DupConcat("localhost", display, nullptr) : DupString(display);
}
