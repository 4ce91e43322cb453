#include "helper/selftest/self_test_scratch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace helper {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

class SelfTestScratch : public ::testing::Test {
 protected:
  testsupport::TempDir tmp;
};

TEST_F(SelfTestScratch, AFreshDirectoryIsPrivateWhateverTheUmask) {
  const mode_t old = ::umask(0077 | 0200);  // would strip the owner's write bit too
  const bool made = makePrivateDirectory((tmp / "fresh").string());
  ::umask(old);
  ASSERT_TRUE(made);
  EXPECT_TRUE(fs::is_directory(tmp / "fresh"));
  EXPECT_EQ(modeOf(tmp / "fresh"), 0700u);
}

TEST_F(SelfTestScratch, OurOwnPrivateDirectoryIsEmptiedAndTaken) {
  fs::create_directory(tmp / "ours");
  fs::permissions(tmp / "ours", fs::perms::owner_all, fs::perm_options::replace);
  testsupport::writeFile(tmp / "ours" / "left-over", "x");
  ASSERT_TRUE(makePrivateDirectory((tmp / "ours").string()));
  EXPECT_TRUE(fs::is_empty(tmp / "ours"));
  EXPECT_EQ(modeOf(tmp / "ours"), 0700u);
}

TEST_F(SelfTestScratch, AnythingElseAtThePathIsRefusedAndLeftAlone) {
  // A directory others may enter or write to.
  fs::create_directory(tmp / "open");
  fs::permissions(tmp / "open",
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  fs::perm_options::replace);
  testsupport::writeFile(tmp / "open" / "theirs", "keep");
  EXPECT_FALSE(makePrivateDirectory((tmp / "open").string()));
  EXPECT_EQ(testsupport::readFile(tmp / "open" / "theirs"), "keep");
  EXPECT_EQ(modeOf(tmp / "open"), 0755u);

  // A file.
  testsupport::writeFile(tmp / "file", "keep");
  EXPECT_FALSE(makePrivateDirectory((tmp / "file").string()));
  EXPECT_EQ(testsupport::readFile(tmp / "file"), "keep");

  // A link, even to a private directory of ours: writes would land elsewhere.
  fs::create_directory(tmp / "target");
  fs::permissions(tmp / "target", fs::perms::owner_all, fs::perm_options::replace);
  testsupport::writeFile(tmp / "target" / "inside", "keep");
  fs::create_directory_symlink(tmp / "target", tmp / "link");
  EXPECT_FALSE(makePrivateDirectory((tmp / "link").string()));
  EXPECT_TRUE(fs::is_symlink(tmp / "link"));
  EXPECT_EQ(testsupport::readFile(tmp / "target" / "inside"), "keep");

  EXPECT_FALSE(makePrivateDirectory((tmp / "missing" / "child").string()));
  EXPECT_FALSE(makePrivateDirectory(""));
}

TEST_F(SelfTestScratch, TheRootIsPrivateHoldsTheNamedDirectoriesAndGoesWithThem) {
  std::string root;
  {
    const PrivateScratchRoot scratch(tmp.path().string() + "/");
    ASSERT_TRUE(scratch.ok());
    root = scratch.path();
    EXPECT_EQ(fs::path(root).parent_path(), tmp.path());
    EXPECT_EQ(fs::path(root).filename().string().rfind("tasmerig-self-test-", 0), 0u) << root;
    EXPECT_EQ(modeOf(root), 0700u);

    const auto dir = scratch.makeDirectory("self-test-42");
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, root + "/self-test-42");
    testsupport::writeFile(fs::path(*dir) / "a", "x");
    scratch.remove("self-test-42");
    EXPECT_FALSE(fs::exists(*dir));

    EXPECT_EQ(scratch.makeDirectory("../escape"), std::nullopt);
    EXPECT_EQ(scratch.makeDirectory(".."), std::nullopt);
    EXPECT_EQ(scratch.makeDirectory(""), std::nullopt);
    ASSERT_TRUE(scratch.makeDirectory("kept-until-the-end"));
  }
  EXPECT_FALSE(fs::exists(root));
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST_F(SelfTestScratch, WithoutATemporaryDirectoryNothingIsMade) {
  const PrivateScratchRoot missing((tmp / "does-not-exist").string());
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.makeDirectory("self-test-1"), std::nullopt);
  const PrivateScratchRoot none(std::nullopt);
  EXPECT_FALSE(none.ok());
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST_F(SelfTestScratch, TheTemporaryDirectoryFollowsTmpdir) {
  const char* saved = ::getenv("TMPDIR");
  const std::optional<std::string> old = saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TMPDIR", (tmp.path().string() + "/").c_str(), 1);
  const auto dir = userTemporaryDirectory();
  ::setenv("TMPDIR", (tmp / "does-not-exist").c_str(), 1);
  const auto missing = userTemporaryDirectory();
  if (old) {
    ::setenv("TMPDIR", old->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_EQ(dir, tmp.path().string());
  EXPECT_EQ(missing, std::nullopt);
}

}  // namespace
}  // namespace helper
