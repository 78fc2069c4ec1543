#include "core/screening.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string_view>

namespace tavrel::core {
namespace {

struct Case {
  std::string_view config;  // JSON text
  std::string_view error;   // empty when the configuration passes
};

class Screening : public ::testing::TestWithParam<Case> {};

TEST_P(Screening, RefusesTheFirstForbiddenOrEscapingMemberInKeyOrder) {
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
    Passes, Screening,
    ::testing::Values(Case{R"({"experimental":{"cache_file":{"path":"cache.db"}}})", ""},
                      Case{R"({"route":{"rule_set":[{"path":"rulesets/a.srs"}]}})", ""},
                      Case{R"({"path":""})", ""}, Case{R"({"path":5})", ""},
                      Case{R"({"path":null})", ""},
                      Case{R"({"paths":"/x","outputs":"/x","directory_x":"/x","file":"/x","_files":"/x"})",
                           ""},
                      Case{R"({"xpath":"/x","path_x":"C:\\x","route":"../x"})", ""},
                      Case{R"(["/x", {"a":"..", "b":["C:"]}])", ""}, Case{R"("/etc/passwd")", ""},
                      Case{"null", ""}, Case{R"({"path":"a.b/c\\d"})", ""},
                      // A routing rule compares a program's path; it never opens it.
                      Case{R"({"rules":[{"process_path":["C:\\app.exe"],"Process_Path":"/x"}]})", ""},
                      Case{R"({"path":["hosts",["more/hosts"],5,null,""]})", ""},
                      Case{R"({"outbounds":[{"type":"tor","data_directory":"tor"}]})", ""},
                      Case{R"({"masquerade":"https://x/","write_to_system":false})", ""},
                      Case{R"({"masquerade":{"type":"file","directory":"site"}})", ""}));

INSTANTIATE_TEST_SUITE_P(
    Refused, Screening,
    ::testing::Values(
        Case{R"({"x":{"path":"../a"}})", "配置中不允许绝对路径：path = ../a"},
        // Keys as the core matches them, shown as written.
        Case{R"({"cache_file":{"Path":"/c.db"}})", "配置中不允许绝对路径：Path = /c.db"},
        Case{R"({"PATH":"/x"})", "配置中不允许绝对路径：PATH = /x"},
        Case{R"({"\u212Aey_path":"/k"})", "配置中不允许绝对路径：\u212Aey_path = /k"},
        Case{R"({"extra_arg\u017F":[]})", "配置中不允许的设置：extra_arg\u017F"},
        // Lists of locations, nested lists too, in order.
        Case{R"({"path":["hosts","C:\\Windows\\SAM"]})", "配置中不允许绝对路径：path = C:\\Windows\\SAM"},
        Case{R"({"certificate_path":[["ok"],[["/deep"]],"/later"]})",
             "配置中不允许绝对路径：certificate_path = /deep"},
        Case{R"({"private_key_path":"$ProgramData\\x"})",
             "配置中不允许绝对路径：private_key_path = $ProgramData\\x"},
        Case{R"({"external_ui":"C:\\ui"})", "配置中不允许绝对路径：external_ui = C:\\ui"},
        Case{R"({"acme":{"data_directory":"/acme"}})", "配置中不允许绝对路径：data_directory = /acme"},
        Case{R"({"mesh_psk_file":"../psk"})", "配置中不允许绝对路径：mesh_psk_file = ../psk"},
        Case{R"({"masquerade":{"directory":"a/$x"}})", "配置中不允许绝对路径：directory = a/$x"},
        // Members that start programs, unpack downloads or change the system, whatever the value.
        Case{R"({"outbounds":[{"type":"tor","executable_path":"rulesets/x.srs"}]})",
             "配置中不允许的设置：executable_path"},
        Case{R"({"Executable_Path":""})", "配置中不允许的设置：Executable_Path"},
        Case{R"({"extra_args":null})", "配置中不允许的设置：extra_args"},
        Case{R"({"torrc":{}})", "配置中不允许的设置：torrc"},
        Case{R"({"external_ui":"ui","external_ui_download_url":"https://x/ui.zip"})",
             "配置中不允许的设置：external_ui_download_url"},
        Case{R"({"ntp":{"write_to_system":true}})", "配置中不允许的设置：write_to_system"},
        Case{R"({"masquerade":"FiLe:///C:/"})", "配置中不允许的设置：masquerade"},
        Case{R"({"a":{"torrc":""},"b_path":"/x"})", "配置中不允许的设置：torrc"},
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

TEST(Screening, SurvivesDeepNesting) {
  nlohmann::json config = nlohmann::json::array();
  nlohmann::json* innermost = &config;
  for (int i = 0; i < 100000; ++i) {
    innermost->push_back(nlohmann::json::array());
    innermost = &innermost->back();
  }
  nlohmann::json& holder = *innermost;
  holder.push_back(nlohmann::json::object({{"path", "/x"}}));
  holder.push_back(nlohmann::json::object({{"path", nlohmann::json::array()}}));
  innermost = &holder.back()["path"];
  for (int i = 0; i < 100000; ++i) {
    innermost->push_back(nlohmann::json::array());
    innermost = &innermost->back();
  }
  innermost->push_back("/y");
  Status status = check_config_paths(config);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "配置中不允许绝对路径：path = /x");
  holder.erase(0);
  status = check_config_paths(config);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message(), "配置中不允许绝对路径：path = /y");
}

}  // namespace
}  // namespace tavrel::core
