#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace tavrel::platform {
namespace {

const bool WINDOWS = SERVICE_EXE_NAME.ends_with(".exe");

TEST(Join, SeparatorOnlyWhereNeeded) {
  const std::string sep = WINDOWS ? "\\" : "/";
  EXPECT_EQ(to_utf8(join(from_utf8(""), "work")), "work");
  EXPECT_EQ(to_utf8(join(from_utf8("a"), "work")), "a" + sep + "work");
  EXPECT_EQ(to_utf8(join(from_utf8("a" + sep), "work")), "a" + sep + "work");
  if (WINDOWS) {
    EXPECT_EQ(to_utf8(join(from_utf8("D:\\svc/"), "x")), "D:\\svc/x");
    EXPECT_EQ(to_utf8(join(from_utf8("D:\\svc"), "x")), "D:\\svc\\x");
  }
}

TEST(Paths, Utf8RoundTrip) {
  const std::string text = WINDOWS ? "C:\\服务 目录\\a b" : "/tmp/服务 目录/a b";
  EXPECT_EQ(to_utf8(from_utf8(text)), text);
}

TEST(Env, InvalidUnicodeCountsAsAbsent) {
  set_env("TAVREL_TEST_VAR", "值 with space");
  ASSERT_TRUE(env_path("TAVREL_TEST_VAR").has_value());
  EXPECT_EQ(to_utf8(*env_path("TAVREL_TEST_VAR")), "值 with space");
  set_env("TAVREL_TEST_VAR", "");
  ASSERT_TRUE(env_path("TAVREL_TEST_VAR").has_value());
  EXPECT_TRUE(env_path("TAVREL_TEST_VAR")->empty());
  set_env_invalid_unicode("TAVREL_TEST_VAR");
  EXPECT_FALSE(env_path("TAVREL_TEST_VAR").has_value());
  unset_env("TAVREL_TEST_VAR");
  EXPECT_FALSE(env_path("TAVREL_TEST_VAR").has_value());
}

TEST(Fs, CreateWriteAppendRemove) {
  testing::TempDir temp("fs 测试");
  const Path dir = join(join(temp.path(), "a 甲"), "b");
  ASSERT_TRUE(platform::create_directories(dir).ok());
  ASSERT_TRUE(platform::create_directories(dir).ok());  // an existing directory is fine
  const Path file = join(dir, "f.txt");
  ASSERT_TRUE(write_file(file, "first").ok());
  ASSERT_TRUE(write_file(file, "2").ok());  // truncates
  ASSERT_TRUE(append_file_shared(file, "3").ok());
  EXPECT_EQ(testing::read_file(file), "23");
  EXPECT_TRUE(platform::is_regular_file(file));
  EXPECT_FALSE(platform::is_regular_file(dir));
  ASSERT_TRUE(platform::remove_all(join(temp.path(), "a 甲")).ok());
  EXPECT_FALSE(platform::exists(dir));
}

TEST(Fs, FileInTheWayOfADirectoryIsAnOsError) {
  testing::TempDir temp;
  const Path file = join(temp.path(), "work");
  ASSERT_TRUE(write_file(file, "").ok());
  auto made = platform::create_directories(file);
  ASSERT_FALSE(made.ok());
  EXPECT_NE(made.error().message().find(" (os error "), std::string::npos) << made.error().message();
  EXPECT_FALSE(platform::create_directories(join(file, "below")).ok());
}

TEST(Fs, AppendNeverCreatesTheDirectory) {
  testing::TempDir temp;
  const Path missing = join(temp.path(), "missing");
  EXPECT_FALSE(append_file_shared(join(missing, "service.log"), "x").ok());
  EXPECT_FALSE(platform::exists(missing));
}

TEST(Error, SystemTextEndsInOsErrorCode) {
  const std::string text = system_error_text(2);
  EXPECT_TRUE(text.ends_with(" (os error 2)")) << text;
  EXPECT_GT(text.size(), std::string(" (os error 2)").size());
  EXPECT_NE(text[text.size() - std::string(" (os error 2)").size() - 1], ' ');
}

}  // namespace
}  // namespace tavrel::platform
