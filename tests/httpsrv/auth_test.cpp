// Users, Basic authentication, protected paths and the owner's authenticate event.
#include <atomic>
#include <chrono>
#include <thread>

#include "ftpsrv/local_logon.h"
#include "httpsrv_util.h"

using namespace httpsrvtest;

namespace {
std::string Basic(const std::string& userPass) {
  static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < userPass.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(userPass[i])) << 16;
    if (i + 1 < userPass.size()) v |= uint32_t(uint8_t(userPass[i + 1])) << 8;
    if (i + 2 < userPass.size()) v |= uint8_t(userPass[i + 2]);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += i + 1 < userPass.size() ? k[(v >> 6) & 63] : '=';
    out += i + 2 < userPass.size() ? k[v & 63] : '=';
  }
  return "Authorization: Basic " + out + "\r\n";
}
}  // namespace

TEST(HttpSrvAuth, UserValidation) {
  Server srv;
  struct Case {
    const char* user;
    const char* password;
    uint32_t error;  // 0: accepted
  } cases[] = {
      {"bob", "pw", 0},           {"ab", "pw", uint32_t(cvErrorInvalidUserName)},
      {"a@b", "pw", uint32_t(cvErrorInvalidUserName)}, {"carol", "p w", uint32_t(cvErrorInvalidPassword)},
      {"carol", "", uint32_t(cvErrorInvalidPassword)},
  };
  for (const Case& c : cases) {
    const int32_t ok = HttpServerAddUser(srv.handle(), 0, httpAccessDefault, c.user, c.password, nullptr);
    EXPECT_EQ(ok, c.error ? 0 : 1) << c.user;
    if (c.error) {
      EXPECT_EQ(HttpServerGetLastError(srv.handle()), c.error) << c.user;
    }
  }
}

TEST(HttpSrvAuth, ProtectedPathNeedsCredentials) {
  Server srv;
  srv.Write("private/p.txt", "private data");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/private",
                              (srv.root() / "private").c_str()),
            1);
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessRead, "alice", "old", nullptr), 1);
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessRead, "alice", "secret", nullptr), 1);  // replaces
  const HttpUser* alice = HttpServerFindUser(srv.handle(), 0, "ALICE");
  ASSERT_NE(alice, nullptr);
  EXPECT_STREQ(alice->password, "secret");
  EXPECT_EQ(alice->access, uint32_t(httpAccessRead));
  EXPECT_STREQ(alice->home, srv.root().c_str());
  EXPECT_EQ(HttpServerFindUser(srv.handle(), 0, "bob"), nullptr);
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), uint32_t(cvErrorInvalidUserName));
  ASSERT_EQ(HttpServerAddUser(srv.handle(), 0, httpAccessRead, "gone", "pw", nullptr), 1);
  ASSERT_EQ(HttpServerDeleteUser(srv.handle(), 0, "gone"), 1);
  HttpServerSetLastError(srv.handle(), 0);
  EXPECT_EQ(HttpServerFindUser(srv.handle(), 0, "gone"), nullptr);  // deleted: no error
  EXPECT_EQ(HttpServerGetLastError(srv.handle()), 0u);

  Response none = srv.Get("/private/p.txt");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.Header("WWW-Authenticate"), "Basic realm=\"localhost\"");
  EXPECT_NE(none.body.find("<title>401 Not Authorized</title>"), std::string::npos);

  Response good = srv.Get("/private/p.txt", Basic("alice:secret"));
  EXPECT_EQ(good.status, 200);
  EXPECT_EQ(good.body, "private data");
  EXPECT_EQ(srv.Get("/private/p.txt", Basic("alice:old")).status, 401);  // after the 3 s pause
  EXPECT_GE(srv.owner.Count(httpEventAuthenticate), 2);
}

TEST(HttpSrvAuth, OwnerAuthenticatesInTheEvent) {
  Server srv(httpServerReadOnly);
  srv.Write("p/x", "x");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/p", (srv.root() / "p").c_str()),
            1);
  std::atomic<int32_t> access{0}, second{1};
  std::string user;
  srv.owner.hook = [&](uint64_t server, uint32_t id, uint32_t event) {
    if (event != httpEventAuthenticate) return;
    HttpCredentials cred{};
    cred.size = sizeof cred;
    if (HttpSessionGetCredentials(server, id, &cred)) user = cred.userName;
    HttpSessionAuthenticate(server, id, httpAccessDefault);
    second = HttpSessionAuthenticate(server, id, httpAccessDefault);
    int32_t a = 0;
    HttpSessionGetAccess(server, id, &a);
    access = a;
  };
  Response r = srv.Get("/p/x", Basic("anyone:anything"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(user, "anyone");
  EXPECT_EQ(access.load(), 13);  // ReadOnly server: Read, Execute, List
  EXPECT_EQ(second.load(), 0);
}

// Local accounts through a private PAM service: a checker script knows one account, so
// no real account or password of the machine is involved.
TEST(HttpSrvAuth, LocalAccountsThroughPam) {
  Server srv(httpServerLocalUser);
  const fs::path checker = srv.dir() / "check.sh";
  std::ofstream(checker) << "#!/bin/sh\nread -r pw\n[ \"$PAM_USER\" = carol ] && [ \"$pw\" = Pw-1234 ]\n";
  fs::permissions(checker, fs::perms(0755));
  fs::create_directories(srv.dir() / "pam");
  std::ofstream(srv.dir() / "pam" / "cvhttpsrvtest")
      << "auth required pam_exec.so expose_authtok quiet " << checker.string() << "\naccount required pam_permit.so\n";
  cvftpsrv::SetLogonServiceForTesting("cvhttpsrvtest", (srv.dir() / "pam").c_str());
  srv.Write("p/x", "x");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/p", (srv.root() / "p").c_str()),
            1);
  EXPECT_EQ(srv.Get("/p/x", Basic("carol:Pw-1234")).status, 200);
  EXPECT_EQ(srv.Get("/p/x", Basic("carol:wrong")).status, 401);
  EXPECT_EQ(srv.Get("/p/x", Basic("Administrator:Pw-1234")).status, 401);
  cvftpsrv::SetLogonServiceForTesting(nullptr, nullptr);
}

// Local logons run side by side: the checker lets a logon through only once eight of them
// are under way at the same time (one at a time, each would wait 5 s and fail).
TEST(HttpSrvAuth, LocalLogonsRunSideBySide) {
  Server srv(httpServerLocalUser);
  const fs::path arrived = srv.dir() / "arrived";
  fs::create_directories(arrived);
  const fs::path checker = srv.dir() / "check.sh";
  std::ofstream(checker) << "#!/bin/sh\nread -r pw\ntouch " << arrived.string() << "/\"$PAM_USER\"\ni=0\n"
                         << "while [ $(ls " << arrived.string() << " | wc -l) -lt 8 ] && [ $i -lt 50 ]; do sleep 0.1; "
                         << "i=$((i+1)); done\n[ $(ls " << arrived.string()
                         << " | wc -l) -ge 8 ] && [ \"$pw\" = Pw-1234 ]\n";
  fs::permissions(checker, fs::perms(0755));
  fs::create_directories(srv.dir() / "pam");
  std::ofstream(srv.dir() / "pam" / "cvhttpsrvtest")
      << "auth required pam_exec.so expose_authtok quiet " << checker.string() << "\naccount required pam_permit.so\n";
  cvftpsrv::SetLogonServiceForTesting("cvhttpsrvtest", (srv.dir() / "pam").c_str());
  srv.Write("p/x", "x");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/p", (srv.root() / "p").c_str()),
            1);
  std::vector<std::thread> clients;
  std::atomic<int> admitted{0};
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&, i] {
      if (srv.Get("/p/x", Basic("user" + std::to_string(i) + ":Pw-1234")).status == 200) admitted.fetch_add(1);
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(admitted.load(), 8);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  cvftpsrv::SetLogonServiceForTesting(nullptr, nullptr);
}

TEST(HttpSrvAuth, RefusedCredentialsPauseOnlyWhereTheyAreNeeded) {
  Server srv;
  srv.Write("public.txt", "open");
  srv.Write("p/x", "x");
  ASSERT_EQ(HttpServerAddPath(srv.handle(), 0, httpAccessRead | httpAccessProtected, "/p", (srv.root() / "p").c_str()),
            1);
  auto timed = [&](const std::string& path, int* status) {
    const auto start = std::chrono::steady_clock::now();
    *status = srv.Get(path, Basic("nobody:wrong")).status;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  int status = 0;
  EXPECT_LT(timed("/public.txt", &status), 3000);  // the pause is 3 s: it did not happen
  EXPECT_EQ(status, 200);
  EXPECT_GE(timed("/p/x", &status), 3000);
  EXPECT_EQ(status, 401);
}
