#include "install/file_set.h"

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

TEST(FileSet, ReplacesTheTargetsThroughTheirTransientNames) {
  testing::TempDir dir("tavrel 复制 test");
  const Path from = platform::join(dir.path(), "new.bin");
  const Path to = platform::join(dir.path(), "target.exe");
  const Path added = platform::join(dir.path(), "added.dll");
  ASSERT_TRUE(platform::write_file(from, "new"));
  ASSERT_TRUE(platform::write_file(to, "old"));
  ASSERT_TRUE(platform::write_file(platform::join(dir.path(), "target.tmp"), "stale transient"));
  const std::vector<NewFile> set = {{from, to}, {from, added}};

  ASSERT_TRUE(copy_beside(set));
  EXPECT_EQ(testing::read_file(to), "old");
  ASSERT_TRUE(move_in(set));
  EXPECT_EQ(testing::read_file(to), "new");
  EXPECT_EQ(testing::read_file(added), "new");
  EXPECT_EQ(testing::read_file(platform::join(dir.path(), "target.old")), "old");
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.tmp")));

  // Back to the old set: the file without a predecessor goes.
  ASSERT_TRUE(put_back(set));
  EXPECT_EQ(testing::read_file(to), "old");
  EXPECT_FALSE(platform::exists(added));
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.old")));

  ASSERT_TRUE(copy_beside(set));
  ASSERT_TRUE(move_in(set));
  ASSERT_TRUE(drop_set_aside(set));
  EXPECT_EQ(testing::read_file(to), "new");
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.old")));
}

// A read-only core (from a read-only medium, or marked so) installs, and installs again over
// its own earlier copy.
TEST(FileSet, ReadOnlySourceGivesAReplaceableCopy) {
  namespace fs = std::filesystem;
  testing::TempDir dir("tavrel 只读 test");
  const Path from = platform::join(dir.path(), "core.exe");
  const Path to = platform::join(dir.path(), "sing-box.exe");
  ASSERT_TRUE(platform::write_file(from, "read-only core"));
  fs::permissions(from, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const std::vector<NewFile> set = {{from, to}};
  for (int round = 0; round < 2; ++round) {
    auto copied = copy_beside(set);
    ASSERT_TRUE(copied) << round << ": " << copied.error().chain();
    auto moved = move_in(set);
    ASSERT_TRUE(moved) << round << ": " << moved.error().chain();
    auto dropped = drop_set_aside(set);
    ASSERT_TRUE(dropped) << round << ": " << dropped.error().chain();
  }
  EXPECT_EQ(testing::read_file(to), "read-only core");
  EXPECT_NE(fs::status(to).permissions() & fs::perms::owner_write, fs::perms::none);
  fs::permissions(from, fs::perms::owner_write, fs::perm_options::add);
}

TEST(FileSet, FailedMoveLeavesTheOldSet) {
  testing::TempDir dir;
  const Path from = platform::join(dir.path(), "new.bin");
  const Path first = platform::join(dir.path(), "first.exe");
  const Path second = platform::join(dir.path(), "second.exe");
  ASSERT_TRUE(platform::write_file(from, "new"));
  ASSERT_TRUE(platform::write_file(first, "old first"));
  ASSERT_TRUE(platform::write_file(second, "old second"));
  // A directory with something in it where the second file would be set aside.
  const Path blocker = platform::join(dir.path(), "second.old");
  ASSERT_TRUE(platform::create_directories(blocker));
  ASSERT_TRUE(platform::write_file(platform::join(blocker, "inside"), "x"));
  const std::vector<NewFile> set = {{from, first}, {from, second}};

  ASSERT_TRUE(copy_beside(set));
  auto moved = move_in(set);
  ASSERT_FALSE(moved);
  EXPECT_TRUE(moved.error().chain().starts_with("安装 " + platform::to_utf8(second) + " 失败: "))
      << moved.error().chain();
  EXPECT_EQ(testing::read_file(first), "old first");
  EXPECT_EQ(testing::read_file(second), "old second");
  for (const char* gone : {"first.old", "first.tmp", "second.tmp"}) {
    EXPECT_FALSE(platform::exists(platform::join(dir.path(), gone))) << gone;
  }
}

TEST(FileSet, SourceThatIsNoFileIsMissing) {
  testing::TempDir dir;
  const Path present = platform::join(dir.path(), "present.bin");
  ASSERT_TRUE(platform::write_file(present, "new"));
  const Path first = platform::join(dir.path(), "first.exe");
  const Path to = platform::join(dir.path(), "target.exe");
  for (const Path& from : {platform::join(dir.path(), "absent.exe"), dir.path()}) {
    auto done = copy_beside({{present, first}, {from, to}});
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().chain(), "文件不存在：" + platform::to_utf8(from));
  }
  EXPECT_FALSE(platform::exists(to));
  // The copies made before the failure are gone too.
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "first.tmp")));
  EXPECT_FALSE(platform::exists(platform::join(dir.path(), "target.tmp")));
}

TEST(FileSet, FailedCopyNamesTheSource) {
  testing::TempDir dir;
  const Path from = platform::join(dir.path(), "new.bin");
  ASSERT_TRUE(platform::write_file(from, "new"));
  // The transient name's directory does not exist.
  const Path to = platform::join(platform::join(dir.path(), "missing"), "target.exe");
  auto done = copy_beside({{from, to}});
  ASSERT_FALSE(done);
  ASSERT_EQ(done.error().messages().size(), 2u);
  EXPECT_EQ(done.error().message(), "复制 " + platform::to_utf8(from) + " 失败");
  EXPECT_NE(done.error().messages()[1].find(" (os error "), std::string::npos);
}

}  // namespace
}  // namespace tavrel::install
