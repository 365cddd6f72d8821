// AUTH LOGIN: the user name and the password in base64, each answering the server's prompt.
#include <cstdio>
#include <cstring>

#include "smtp/smtp_internal.h"

namespace cvsmtp {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kEncodedSize = 256;  // output buffer, 255 characters at most

// Whether length bytes fit the encoder's output (length x 1.5 + 1 within 255).
bool Encodable(uint32_t length) { return uint64_t(length) * 3 / 2 + 1 <= kEncodedSize - 1; }

// Wipes a buffer holding a credential when it goes.
struct Wiped {
  char text[kEncodedSize] = {};
  ~Wiped() { explicit_bzero(text, sizeof text); }
};

// Base64 of length bytes (Encodable) into output, terminated. The characters written.
int32_t Encode(const char* input, uint32_t length, char* output) {
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  uint32_t o = 0;
  for (uint32_t i = 0; i < length; i += 3) {
    const uint32_t left = length - i;
    const uint32_t v = (uint32_t(in[i]) << 16) | (left > 1 ? uint32_t(in[i + 1]) << 8 : 0) | (left > 2 ? in[i + 2] : 0);
    output[o++] = kAlphabet[(v >> 18) & 63];
    output[o++] = kAlphabet[(v >> 12) & 63];
    output[o++] = left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    output[o++] = left > 2 ? kAlphabet[v & 63] : '=';
  }
  output[o] = '\0';
  return int32_t(o);
}

}  // namespace

Result<int32_t> Authenticate(SmtpSession& s, uint32_t method, const char* user, const char* password) noexcept {
  if (method != 0) return Status(cvErrorInvalidAuthenticationType);
  if (!user || !*user) return Status(cvErrorInvalidUserName);
  if (!password || !*password) return Status(cvErrorInvalidPassword);
  if (s.dataOpen) return Status(cvErrorAlreadyInProgress);
  if (!s.extended) return Status(cvErrorOptionNotSupported);
  if (!(s.extensions & kSmtpExtensionAuthLogin)) return Status(cvErrorAuthenticationFailed);
  // Names the encoder cannot take are refused before anything is sent, and so are those
  // that could not be kept for a reconnect.
  const uint32_t userLength = uint32_t(std::strlen(user));
  const uint32_t passwordLength = uint32_t(std::strlen(password));
  if (!Encodable(userLength) || userLength >= kSmtpCredentialSize) return Status(cvErrorInvalidUserName);
  if (!Encodable(passwordLength) || passwordLength >= kSmtpCredentialSize) return Status(cvErrorInvalidPassword);

  Result<int32_t> r = Command(s, "AUTH", "LOGIN");
  if (!r.ok()) return r;
  if (!Intermediate(r.value())) return Status(cvErrorUnexpectedServerResponse);
  Wiped encoded;
  Encode(user, userLength, encoded.text);
  r = Command(s, encoded.text, nullptr);
  if (!r.ok()) return r;
  if (!Intermediate(r.value())) return Status(cvErrorUnexpectedServerResponse);
  Encode(password, passwordLength, encoded.text);
  r = Command(s, encoded.text, nullptr);
  if (!r.ok()) return r;
  if (!Positive(r.value())) return Status(cvErrorAuthenticationFailed);
  // Kept for a reconnect after a cancelled transfer. The caller may pass these very fields.
  if (user != s.user) std::snprintf(s.user, sizeof s.user, "%s", user);
  if (password != s.password) std::snprintf(s.password, sizeof s.password, "%s", password);
  s.loginMethod = method;
  s.loggedIn = 1;
  return r;
}

}  // namespace cvsmtp

using namespace cvsmtp;

int32_t SmtpAuthenticate(LibHandle handle, uint32_t method, const char* user, const char* password) {
  Operation op(handle);
  if (!op) return -1;
  return FinishExchange(Authenticate(*op, method, user, password));
}

int32_t SmtpEncodeBase64(const char* input, uint32_t length, char* output) {
  if (!output || (!input && length)) return Library().Finish(Status(cvErrorInvalidParameter), 0, -1);
  if (!Encodable(length)) return Library().Finish(Status(cvErrorBufferTooSmall), 0, -1);
  return Encode(input, length, output);
}
