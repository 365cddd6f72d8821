#pragma once
// The control against a scripted FTP server (tests/support/script_server.h): the login a
// connection goes through, passive data ports the script serves, and a method call timed
// with its Error argument.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "core/errors/error_codes.h"
#include "filexfer_methods/control_fixture.h"
#include "support/script_server.h"

namespace xfertest {

using namespace std::chrono_literals;
using cvtest::ScriptServer;

// The passive data port a script serves, opened when the client asks for it. Declared
// before the ScriptServer whose script uses it, so that the server's thread has stopped
// when the port goes.
struct DataPort {
  int listener = -1;
  int port = 0;
  int held = -1;         // a connection the script keeps open without serving it
  std::string received;  // what an upload delivered
  DataPort() = default;
  DataPort(const DataPort&) = delete;
  DataPort& operator=(const DataPort&) = delete;
  ~DataPort() {
    if (held >= 0) ::close(held);
    if (listener >= 0) ::close(listener);
  }
};

inline std::string PasvReply(const char* host, int port) {
  std::ostringstream o;
  o << "227 Entering Passive Mode (" << host << "," << (port >> 8) << "," << (port & 255) << ").";
  return o.str();
}

inline ScriptServer& Pasv(ScriptServer& srv, DataPort& d, const char* host = "127,0,0,1") {
  return srv.Expect("PASV").Call([&d, host](ScriptServer& s) {
    d.listener = s.OpenListener(&d.port);
    s.SendRaw(PasvReply(host, d.port) + "\r\n");
  });
}

// 150, then the data on the data connection, closed, then the final reply.
inline ScriptServer& Send(ScriptServer& srv, DataPort& d, std::string data, std::string opening = "150 Opening.") {
  return srv.Call([&d, data, opening](ScriptServer& s) {
    s.SendRaw(opening + "\r\n");
    const int c = ScriptServer::AcceptOne(d.listener, 5s);
    if (c < 0) return;
    for (size_t off = 0; off < data.size();) {
      const ssize_t n = ::send(c, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += size_t(n);
    }
    ::close(c);
    s.SendRaw("226 Transfer complete.\r\n");
  });
}

// 150, then what the client sends on the data connection until it closes it, then 226.
inline ScriptServer& Receive(ScriptServer& srv, DataPort& d) {
  return srv.Call([&d](ScriptServer& s) {
    s.SendRaw("150 Ok to send data.\r\n");
    const int c = ScriptServer::AcceptOne(d.listener, 5s);
    if (c < 0) return;
    char buffer[8192];
    for (ssize_t n; (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;) d.received.append(buffer, size_t(n));
    ::close(c);
    s.SendRaw("226 Transfer complete.\r\n");
  });
}

class ScriptedFtp : public ControlFixture {
 protected:
  // The login and the queries of a connect; the control is connected when it returns.
  void Connect(ScriptServer& srv, int32_t timeoutSeconds) {
    srv.Start();
    Put(u"Timeout", I4(timeoutSeconds));
    Var error;
    Args args{S(u"127.0.0.1"), I4(srv.port()), Missing(), Missing(), Missing(), Missing()};
    std::vector<VARIANT> a = args;
    a.push_back(error.ref());
    ASSERT_EQ(Call(u"Connect", a), S_OK);
    ASSERT_EQ(Get(u"IsConnected"), "True") << Get(u"LastErrorString") << " " << srv.failure();
    ClearEvents();
  }

  // The login and the queries of a connection, up to its binary type.
  static ScriptServer& LoginToType(ScriptServer& srv) {
    return srv.Reply("220 Scripted.")
        .Expect("SYST")
        .Reply("215 UNIX Type: L8")
        .Expect("USER anonymous")
        .Reply("331 Password.")
        .ExpectPrefix("PASS ")
        .Reply("230 Welcome.")
        .Expect("PWD")
        .Reply("257 \"/\"")
        .Expect("FEAT")
        .Send("211-Features:\r\n SIZE\r\n211 End\r\n")
        .Expect("TYPE I");
  }
  static ScriptServer& Login(ScriptServer& srv) {
    return LoginToType(srv).Reply("200 Binary.").Expect("PWD").Reply("257 \"/\"");
  }
  // A background task's own login then enters the directory of the control's session.
  static ScriptServer& TaskLogin(ScriptServer& srv) {
    return LoginToType(srv).Reply("200 Binary.").Expect("CWD /").Reply("250 Ok.").Expect("PWD").Reply("257 \"/\"");
  }

  // Runs a method with an Error argument last and measures it.
  HRESULT Timed(const char16_t* method, std::vector<VARIANT> args, std::chrono::milliseconds* took) {
    VariantClear(&error_.v);
    args.push_back(error_.ref());
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = Call(method, args);
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return hr;
  }
  int32_t ErrorNumber() const { return error_.v.vt == VT_I4 ? error_.v.lVal : -1; }

  Var error_;
};

}  // namespace xfertest
