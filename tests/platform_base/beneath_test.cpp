#include "platform/base/beneath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using plat::BeneathResult;

class Beneath : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cv-beneath-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(root() / "sub");
    fs::create_directories(dir_ / "outside");
    std::ofstream(root() / "sub/file.txt") << "x";
    std::ofstream(dir_ / "outside/secret.txt") << "s";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path root() const { return dir_ / "root"; }
  BeneathResult Resolve(const std::string& relative, struct stat* st = nullptr) {
    struct stat ignored {};
    auto anchor = plat::AnchorOf(root().string());
    EXPECT_TRUE(anchor);
    return anchor ? plat::ResolveBeneath(anchor->fd(), relative, st ? st : &ignored) : BeneathResult::Unknown;
  }
  fs::path dir_;
};

TEST_F(Beneath, PlainMissingAndEveryLinkOrWayOutLeftToTheSlowWay) {
  fs::create_symlink(root() / "sub", root() / "inside-link");
  fs::create_symlink(dir_ / "outside", root() / "outside-link");
  fs::create_symlink("sub/file.txt", root() / "relative-link");
  struct stat st {};
  EXPECT_EQ(Resolve("sub/file.txt", &st), BeneathResult::Plain);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Resolve("/sub", &st), BeneathResult::Plain);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(Resolve("", &st), BeneathResult::Plain);  // the directory itself
  EXPECT_EQ(Resolve("sub/new/deeper.txt"), BeneathResult::Missing);
  EXPECT_EQ(Resolve("inside-link/file.txt"), BeneathResult::Unknown);
  EXPECT_EQ(Resolve("outside-link/secret.txt"), BeneathResult::Unknown);
  EXPECT_EQ(Resolve("relative-link"), BeneathResult::Unknown);
  EXPECT_EQ(Resolve("../outside/secret.txt"), BeneathResult::Unknown);
  EXPECT_EQ(Resolve("sub/file.txt/more"), BeneathResult::Unknown);
}

// A directory replaced under the same name (here by a link to another one) is opened
// again: paths are never judged below the directory that used to be there.
TEST_F(Beneath, AnchorFollowsAReplacedDirectory) {
  auto before = plat::AnchorOf(root().string());
  ASSERT_TRUE(before);
  EXPECT_EQ(plat::AnchorOf(root().string()), before);  // kept while unchanged
  fs::rename(root(), dir_ / "old");
  fs::create_directory_symlink(dir_ / "outside", root());
  auto after = plat::AnchorOf(root().string());
  ASSERT_TRUE(after);
  EXPECT_NE(after, before);
  struct stat st {};
  EXPECT_EQ(plat::ResolveBeneath(after->fd(), "secret.txt", &st), BeneathResult::Plain);
  EXPECT_EQ(plat::ResolveBeneath(after->fd(), "sub/file.txt", &st), BeneathResult::Missing);
  fs::remove(root());
  EXPECT_FALSE(plat::AnchorOf(root().string()));
}

}  // namespace
