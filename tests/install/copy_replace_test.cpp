#include "install/copy_replace.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/fs.h"
#include "support/test_support.h"

namespace tavrel::install {
namespace {

using platform::Path;

TEST(TransientPath, ReplacesTheLastExtensionOfTheFileName) {
  const struct {
    const char* to;
    const char* transient;
  } cases[] = {
      {"tavrel-service.exe", "tavrel-service.tmp"},
      {"sing-box.exe", "sing-box.tmp"},
      {"wintun.dll", "wintun.tmp"},
      {"sing-box", "sing-box.tmp"},
      {"archive.tar.gz", "archive.tar.tmp"},
      {".hidden", ".hidden.tmp"},
      {"name.", "name.tmp"},
  };
  const Path dir = platform::from_utf8("svc.d");
  for (const auto& c : cases) {
    EXPECT_EQ(transient_path(platform::join(dir, c.to)), platform::join(dir, c.transient)) << c.to;
  }
}

TEST(CopyReplace, ReplacesTheTargetThroughTheTransientName) {
  testing::TempDir dir("tavrel 复制 test");
  const Path from = platform::join(dir.path(), "new.bin");
  const Path to = platform::join(dir.path(), "target.exe");
  ASSERT_TRUE(platform::write_file(from, "new"));
  ASSERT_TRUE(platform::write_file(to, "old"));
  ASSERT_TRUE(platform::write_file(platform::join(dir.path(), "target.tmp"), "stale transient"));

  ASSERT_TRUE(copy_replace(from, to));
  EXPECT_EQ(testing::read_file(to), "new");
  EXPECT_EQ(testing::read_file(from), "new");
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.tmp")));
}

// A read-only core (from a read-only medium, or marked so) installs, and installs again over
// its own earlier copy.
TEST(CopyReplace, ReadOnlySourceGivesAReplaceableCopy) {
  namespace fs = std::filesystem;
  testing::TempDir dir("tavrel 只读 test");
  const Path from = platform::join(dir.path(), "core.exe");
  const Path to = platform::join(dir.path(), "sing-box.exe");
  ASSERT_TRUE(platform::write_file(from, "read-only core"));
  fs::permissions(from, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  for (int round = 0; round < 2; ++round) {
    auto done = copy_replace(from, to);
    ASSERT_TRUE(done) << round << ": " << done.error().chain();
  }
  EXPECT_EQ(testing::read_file(to), "read-only core");
  EXPECT_NE(fs::status(to).permissions() & fs::perms::owner_write, fs::perms::none);
  fs::permissions(from, fs::perms::owner_write, fs::perm_options::add);
}

TEST(CopyReplace, SourceThatIsNoFileIsMissing) {
  testing::TempDir dir;
  const Path to = platform::join(dir.path(), "target.exe");
  for (const Path& from : {platform::join(dir.path(), "absent.exe"), dir.path()}) {
    auto done = copy_replace(from, to);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().chain(), "文件不存在：" + platform::to_utf8(from));
  }
  EXPECT_FALSE(platform::exists(to));
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.tmp")));
}

TEST(CopyReplace, FailedCopyNamesTheSource) {
  testing::TempDir dir;
  const Path from = platform::join(dir.path(), "new.bin");
  ASSERT_TRUE(platform::write_file(from, "new"));
  // The transient name's directory does not exist.
  const Path to = platform::join(platform::join(dir.path(), "missing"), "target.exe");
  auto done = copy_replace(from, to);
  ASSERT_FALSE(done);
  ASSERT_EQ(done.error().messages().size(), 2u);
  EXPECT_EQ(done.error().message(), "复制 " + platform::to_utf8(from) + " 失败");
  EXPECT_NE(done.error().messages()[1].find(" (os error "), std::string::npos);
}

}  // namespace
}  // namespace tavrel::install
