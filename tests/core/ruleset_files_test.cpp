#include "core/ruleset_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "support/test_support.h"

namespace tavrel::core {
namespace {

using protocol::RuleSetFile;

class ValidName : public ::testing::TestWithParam<std::string> {};
TEST_P(ValidName, IsAccepted) { EXPECT_TRUE(is_valid_ruleset_name(GetParam())); }
INSTANTIATE_TEST_SUITE_P(Names, ValidName,
                         ::testing::Values("geosite-cn.srs", "geoip-private.srs",
                                           "geosite-geolocation-!cn.srs", "cn@.srs", "a.srs",
                                           "A_b.c-9.srs", std::string(68, 'x') + ".srs", "con1.srs",
                                           "com10.srs", "nullx.srs", "auxiliary.srs"));

class InvalidName : public ::testing::TestWithParam<std::string> {};
TEST_P(InvalidName, IsRefused) { EXPECT_FALSE(is_valid_ruleset_name(GetParam())); }
INSTANTIATE_TEST_SUITE_P(Names, InvalidName,
                         ::testing::Values("", "srs", ".srs", "a.SRS", "a.srs.txt", ".hidden.srs",
                                           "a..b.srs", "a/b.srs", "a\\b.srs", "c:x.srs", "a b.srs",
                                           "规则.srs", std::string("a\0.srs", 6),
                                           std::string(69, 'x') + ".srs",
                                           // Windows device names, whatever the case and extension.
                                           "NUL.srs", "con.srs", "Com1.srs", "lpt9.x.srs",
                                           "aux.srs", "prn.srs"));

class InstallRulesets : public ::testing::Test {
 protected:
  testing::TempDir temp{"tavrel 规则集"};
  platform::Path dir = platform::join(platform::join(temp.path(), "work"), "rulesets");

  std::string read(std::string_view name) { return testing::read_file(platform::join(dir, name)); }
};

TEST_F(InstallRulesets, ReplacesTheDirectoryWithTheGivenFiles) {
  ASSERT_TRUE(platform::create_directories(dir).ok());
  ASSERT_TRUE(platform::write_file(platform::join(dir, "old.srs"), "old").ok());

  const std::vector<RuleSetFile> files = {{"a.srs", "AQ=="}, {"b.srs", "TWFu"}, {"a.srs", "TWE="}};
  const Status status = install_rulesets(dir, files);
  ASSERT_TRUE(status.ok()) << status.error().chain();
  EXPECT_FALSE(platform::exists(platform::join(dir, "old.srs")));
  EXPECT_EQ(read("a.srs"), "Ma");  // the later entry of a repeated name wins
  EXPECT_EQ(read("b.srs"), "Man");
}

TEST_F(InstallRulesets, EmptyListRemovesTheDirectory) {
  ASSERT_TRUE(platform::create_directories(platform::join(dir, "sub")).ok());
  ASSERT_TRUE(install_rulesets(dir, {}).ok());
  EXPECT_FALSE(platform::exists(dir));
  EXPECT_TRUE(platform::exists(dir.parent_path()));

  ASSERT_TRUE(install_rulesets(dir, {}).ok());
  EXPECT_FALSE(platform::exists(dir));
}

TEST_F(InstallRulesets, StopsAtTheFirstBadFileAndKeepsWhatWasWritten) {
  const std::vector<RuleSetFile> files = {{"one.srs", "AQ=="},
                                          {"two.srs", "Ag=="},
                                          {"a/b.srs", "Aw=="},
                                          {"four.srs", "BA=="},
                                          {"five.srs", "BQ=="}};
  const Status status = install_rulesets(dir, files);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().chain(), "非法的规则集文件名：a/b.srs");
  EXPECT_EQ(read("one.srs"), "\x01");
  EXPECT_EQ(read("two.srs"), "\x02");
  EXPECT_FALSE(platform::exists(platform::join(dir, "four.srs")));
  EXPECT_FALSE(platform::exists(platform::join(dir, "five.srs")));
}

TEST_F(InstallRulesets, ReportsEachFaultOfAFile) {
  struct Case {
    RuleSetFile file;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {{"x.srs", "AQ"}, {"规则集 x.srs 不是合法的 base64", "Invalid padding"}},
      {{"x.srs", "AAAA\nAAA\n"},
       {"规则集 x.srs 不是合法的 base64", "Invalid symbol 10, offset 8."}},
      {{"x.srs", ""}, {"规则集 x.srs 是空的"}},
      {{"规则.srs", "AQ=="}, {"非法的规则集文件名：规则.srs"}},
  };
  for (const Case& c : cases) {
    const Status status = install_rulesets(dir, {c.file});
    ASSERT_FALSE(status.ok()) << c.file.name << " " << c.file.data_b64;
    EXPECT_EQ(status.error().messages(), c.messages);
    // The directory is made before the first file is looked at, and it stays.
    EXPECT_TRUE(platform::exists(dir));
  }
}

TEST_F(InstallRulesets, ReportsADirectoryThatCannotBeCreated) {
  ASSERT_TRUE(platform::write_file(dir.parent_path(), "a file where a directory belongs").ok());
  const Status status = install_rulesets(dir, {{"a.srs", "AQ=="}});
  ASSERT_FALSE(status.ok());
  ASSERT_EQ(status.error().messages().size(), 2u);
  EXPECT_EQ(status.error().message(), "create rulesets dir");
  EXPECT_NE(status.error().messages()[1].find(" (os error "), std::string::npos);
}

}  // namespace
}  // namespace tavrel::core
