// Sockets are started once for the whole test program (the lookups of the tests need it).
#include <gtest/gtest.h>

#include "core/sock/sock.h"

namespace {

class SocketsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    plat::WSADATA data;
    SockStartup(&data);
  }
  void TearDown() override { SockCleanup(); }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new SocketsEnvironment);

}  // namespace
