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
                      Case{R"({"paths":"/x","outputs":"/x","directory_x":"/x","file":"/x","files":"/x"})",
                           ""},
                      Case{R"({"xpath":"/x","path_x":"C:\\x","route":"../x"})", ""},
                      Case{R"(["/x", {"a":"..", "b":["C:"]}])", ""}, Case{R"("/etc/passwd")", ""},
                      Case{"null", ""}, Case{R"({"path":"a.b/c\\d"})", ""},
                      // A routing rule compares a program's path; it never opens it.
                      Case{R"({"rules":[{"process_path":["C:\\app.exe"],"Process_Path":"/x"}]})", ""},
                      Case{R"({"path":["hosts",["more/hosts"],5,null,""]})", ""},
                      Case{R"({"outbounds":[{"type":"tor","data_directory":"tor"}]})", ""},
                      Case{R"({"masquerade":"https://x/","write_to_system":false})", ""},
                      Case{R"({"masquerade":{"type":"file","directory":"site"}})", ""},
                      Case{R"({"route":{"dhcp_lease_files":["leases/a"],"x_paths":"a","y_directories":[]}})", ""},
                      // Names that only look like devices.
                      Case{R"({"path":["console.db","rulesets/com10.srs","auxiliary.srs","lpt","nul_x"]})", ""},
                      // Paths of URLs, never opened: where the core reads them so.
                      Case{R"({"outbounds":[{"type":"vless","transport":{"type":"ws","path":"/ws?ed=2048"}}]})", ""},
                      Case{R"({"Outbounds":[{"Transport":{"type":"httpupgrade","Path":"/u"},"type":"http","path":"/p"}]})", ""},
                      Case{R"({"inbounds":[{"type":"http","path":"/p","transport":{"path":"/t"}}]})", ""},
                      Case{R"({"dns":{"servers":[{"type":"https","path":"/dns-query"},{"TYPE":"h3","path":"/q"}]}})", ""},
                      // Plugin options: only v2ray-plugin's cert names a file; its path is a URL path.
                      Case{R"({"plugin":"v2ray-plugin","plugin_opts":"tls;host=a;path=/ws;cert=certs/a.pem"})", ""},
                      Case{R"({"plugin":"obfs-local","plugin_opts":"cert=/x"})", ""},
                      Case{R"({"plugin":"v2ray-plugin","plugin_opts":"Cert=/x;cert\\=x=/y;path=/a\\;cert=/z"})", ""},
                      Case{R"({"plugin":"v2ray-plugin","plugin_opts":["cert=/x"],"x":"cert=/x"})", ""}));

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
        Case{R"({"external_ui":"C:\\ui"})", "配置中不允许的设置：external_ui"},
        Case{R"({"acme":{"data_directory":"/acme"}})", "配置中不允许绝对路径：data_directory = /acme"},
        Case{R"({"mesh_psk_file":"../psk"})", "配置中不允许绝对路径：mesh_psk_file = ../psk"},
        Case{R"({"masquerade":{"directory":"a/$x"}})", "配置中不允许绝对路径：directory = a/$x"},
        // Members that start programs, unpack downloads or change the system, whatever the value.
        Case{R"({"outbounds":[{"type":"tor","executable_path":"rulesets/x.srs"}]})",
             "配置中不允许的设置：executable_path"},
        Case{R"({"Executable_Path":""})", "配置中不允许的设置：Executable_Path"},
        Case{R"({"extra_args":null})", "配置中不允许的设置：extra_args"},
        Case{R"({"torrc":{}})", "配置中不允许的设置：torrc"},
        Case{R"({"external_ui_download_url":"https://x/ui.zip"})", "配置中不允许的设置：external_ui_download_url"},
        Case{R"({"clash_api":{"External_UI":"ui"}})", "配置中不允许的设置：External_UI"},
        Case{R"({"inbounds":[{"type":"tun","netns":""}]})", "配置中不允许的设置：netns"},
        Case{R"({"route":{"dhcp_lease_files":["/var/a.leases"]}})",
             "配置中不允许绝对路径：dhcp_lease_files = /var/a.leases"},
        Case{R"({"_files":"/x","a_paths":["ok","C:"],"b_directories":"../x"})", "配置中不允许绝对路径：_files = /x"},
        Case{R"({"a_paths":["ok","C:"],"b_directories":"../x"})", "配置中不允许绝对路径：a_paths = C:"},
        // Device names in any component, any case, with an extension, trailing dots and spaces.
        Case{R"({"path":"NUL"})", "配置中不允许绝对路径：path = NUL"},
        Case{R"({"path":["ok","rulesets/com1.db"]})", "配置中不允许绝对路径：path = rulesets/com1.db"},
        Case{R"({"key_path":"a\\LpT9.pem\\b"})", "配置中不允许绝对路径：key_path = a\\LpT9.pem\\b"},
        Case{R"({"path":"Con.txt"})", "配置中不允许绝对路径：path = Con.txt"},
        Case{R"({"path":"aux .db"})", "配置中不允许绝对路径：path = aux .db"},
        Case{R"({"path":"prn. ."})", "配置中不允许绝对路径：path = prn. ."},
        Case{R"({"path":"com²"})", "配置中不允许绝对路径：path = com²"},
        // Plugin options, shown whole as written.
        Case{R"({"plugin":"v2ray-plugin","plugin_opts":"tls;cert=//host/share/a.pem"})",
             "配置中不允许绝对路径：plugin_opts = tls;cert=//host/share/a.pem"},
        Case{R"({"Plugin":"v2ray-plugin","plugin_Opts":"c\\ert=\\/x;mux=1"})",
             "配置中不允许绝对路径：plugin_Opts = c\\ert=\\/x;mux=1"},
        Case{R"({"plugin":"v2ray-plugin","plugin_opts":"cert=a.pem;cert=certs/nul.pem"})",
             "配置中不允许绝对路径：plugin_opts = cert=a.pem;cert=certs/nul.pem"},
        // Only a transport's or a URL-typed entry's own path is a URL path, and only where the
        // core reads it as one.
        Case{R"({"outbounds":[{"Type":"http","type":"local","path":"/x"}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"inbounds":[{"type":"HTTP","path":"/x"}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"dns":{"servers":[{"type":"hosts","path":["/etc/hosts"]}]}})", "配置中不允许绝对路径：path = /etc/hosts"},
        Case{R"({"outbounds":[{"transport":{"path":"/ws","x":{"path":"/deep"}}}]})", "配置中不允许绝对路径：path = /deep"},
        Case{R"({"outbounds":[{"transport":{"path":"/ws"},"tls":{"certificate_path":"/c.pem"}}]})",
             "配置中不允许绝对路径：certificate_path = /c.pem"},
        Case{R"({"dns":{"servers":[{"type":"https","path":"/q","output":"/x"}]}})", "配置中不允许绝对路径：output = /x"},
        Case{R"({"type":"http","path":"/x"})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"inbounds":[{"type":"http","users":[{"type":"http","path":"/x"}]}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"outbounds":[{"type":"https","path":"/x"}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"transport":{"path":"/x"}})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"route":{"outbounds":[{"type":"http","path":"/x"}]}})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"endpoints":[{"transport":{"path":"/x"}}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"dns":{"servers":[{"type":"http","path":"/x"}]}})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"servers":[{"type":"h3","path":"/x"}]})", "配置中不允许绝对路径：path = /x"},
        Case{R"({"dns":{"servers":[{"type":"https","transport":{"path":"/x"}}]}})", "配置中不允许绝对路径：path = /x"},
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
