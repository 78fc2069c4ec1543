#include "core/path_guard.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string_view>

namespace tavrel::core {
namespace {

struct Case {
  std::string_view config;  // JSON text
  std::string_view error;   // empty when the configuration passes
};

class PathGuard : public ::testing::TestWithParam<Case> {};

TEST_P(PathGuard, RefusesTheFirstEscapingPathInKeyOrder) {
  const auto config = nlohmann::json::parse(GetParam().config);
  const Status status = check_config_paths(config);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(status.ok()) << status.error().chain();
  } else {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().chain(), GetParam().error);
    EXPECT_EQ(status.error().messages().size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Passes, PathGuard,
    ::testing::Values(Case{R"({"experimental":{"cache_file":{"path":"cache.db"}}})", ""},
                      Case{R"({"route":{"rule_set":[{"path":"rulesets/a.srs"}]}})", ""},
                      Case{R"({"path":""})", ""}, Case{R"({"path":5})", ""},
                      Case{R"({"path":null})", ""},
                      Case{R"({"Path":"/x","PATH":"/x","paths":"/x","outputs":"/x","Output":"/x"})",
                           ""},
                      Case{R"({"xpath":"/x","path_x":"C:\\x","route":"../x"})", ""},
                      Case{R"(["/x", {"a":"..", "b":["C:"]}])", ""}, Case{R"("/etc/passwd")", ""},
                      Case{"null", ""}, Case{R"({"path":"a.b/c\\d"})", ""}));

INSTANTIATE_TEST_SUITE_P(
    Refused, PathGuard,
    ::testing::Values(
        Case{R"({"x":{"path":"../a"}})", "配置中不允许绝对路径：path = ../a"},
        Case{R"({"path":"a..b"})", "配置中不允许绝对路径：path = a..b"},
        Case{R"({"output":"/var/x"})", "配置中不允许绝对路径：output = /var/x"},
        Case{R"({"path":"\\\\srv\\share"})", "配置中不允许绝对路径：path = \\\\srv\\share"},
        Case{R"({"path":"C:x"})", "配置中不允许绝对路径：path = C:x"},
        Case{R"({"path":"x:y"})", "配置中不允许绝对路径：path = x:y"},
        Case{R"({"log":{"output":"C:\\box.log"}})", "配置中不允许绝对路径：output = C:\\box.log"},
        Case{R"({"_path":"/x"})", "配置中不允许绝对路径：_path = /x"},
        Case{R"({"b_path":"/x","a_path":"/y"})", "配置中不允许绝对路径：a_path = /y"},
        Case{R"({"path":{"output":"/x"}})", "配置中不允许绝对路径：output = /x"},
        Case{R"({"outbounds":[{"cert_path":"ok.pem"},{"cert_path":"/c.pem"}]})",
             "配置中不允许绝对路径：cert_path = /c.pem"},
        // The walk finishes a member's value before it looks at the next member.
        Case{R"({"a":{"z":{"path":"/deep"}},"b_path":"/shallow"})",
             "配置中不允许绝对路径：path = /deep"},
        Case{R"([[{"key_path":"/1"}],{"key_path":"/2"}])", "配置中不允许绝对路径：key_path = /1"},
        Case{R"({"path":"规则/\n:\"q\""})", "配置中不允许绝对路径：path = 规则/\n:\"q\""}));

TEST(PathGuard, SurvivesDeepNesting) {
  nlohmann::json config = nlohmann::json::array();
  nlohmann::json* innermost = &config;
  for (int i = 0; i < 100000; ++i) {
    innermost->push_back(nlohmann::json::array());
    innermost = &innermost->back();
  }
  innermost->push_back(nlohmann::json::object({{"path", "/x"}}));
  const Status status = check_config_paths(config);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "配置中不允许绝对路径：path = /x");
}

}  // namespace
}  // namespace tavrel::core
