#include <gtest/gtest.h>

#include <string>

#include "platform/version.h"

TEST(PlatformVersion, HasName) { EXPECT_EQ(std::string(plat::PlatformName()), "cvplat"); }
