// tavrel-ctl end to end against the built service on the control port.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "server/connection_client.h"

namespace tavrel::testing {
namespace {

platform::Path ctl_program() {
  std::string name = "tavrel-ctl";
  if (platform::SERVICE_EXE_NAME.ends_with(".exe")) name += ".exe";
  return platform::join(service_program().parent_path(), name);
}

platform::CapturedRun ctl(const std::vector<std::string>& args) {
  std::vector<platform::Path> native;
  for (const auto& a : args) native.push_back(platform::from_utf8(a));
  auto ran = platform::run_captured(ctl_program(), native, 60s);
  EXPECT_TRUE(ran) << ran.error().chain();
  if (!ran) return {};
  EXPECT_FALSE(ran->timed_out);
  return std::move(ran).value();
}

// The pid that "status" reports for the running core, if one runs.
std::optional<std::string> running_pid() {
  const auto status = ctl({"--json", "status"});
  const auto at = status.out.find(R"("pid":)");
  if (at == std::string::npos) return std::nullopt;
  return status.out.substr(at + 6, status.out.find(',', at) - at - 6);
}

// Refused before anything is sent: with no service listening, exit code 2 (not 3) shows it.
TEST(Ctl, RefusesWrongUseAndBadFilesLocally) {
  ServiceDirFixture dir;
  const platform::Path bad_json = platform::join(dir.dir(), "bad.json");
  const platform::Path bad_name = platform::join(dir.dir(), "a b.srs");
  ASSERT_TRUE(platform::write_file(bad_name, "x"));
  struct Case {
    std::vector<std::string> args;
    std::string err;  // how standard error begins
  };
  const std::vector<Case> cases = {
      {{}, "错误：缺少命令\n用法：tavrel-ctl"},
      {{"restart"}, "错误：未知命令 restart\n"},
      {{"status", "x"}, "错误：多余的参数 x\n"},
      {{"start"}, "错误：start 需要一个配置文件\n"},
      {{"keep", "--every", "61"}, "错误：--every 需要一个整数秒数（1 到 60）\n"},
      {{"status", "--stop"}, "错误：--every 和 --stop 只用于 keep\n"},
      {{"--", "-h"}, "错误：未知命令 -h\n"},
      {{"start", platform::to_utf8(bad_json)},
       "错误：" + platform::to_utf8(bad_json) +
           " 不是合法的 JSON: unexpected character '}' at line 2, column 13 (expected a value)\n"},
      {{"start", platform::to_utf8(bad_json) + "x"},
       "错误：无法读取 " + platform::to_utf8(bad_json) + "x: "},
  };
  ASSERT_TRUE(platform::write_file(bad_json, "{\"log\":\n  {\"level\": }}"));
  for (const auto& c : cases) {
    const auto result = ctl(c.args);
    EXPECT_EQ(result.exit_code, 2) << result.err;
    EXPECT_TRUE(result.err.starts_with(c.err)) << result.err;
  }
  ASSERT_TRUE(platform::write_file(bad_json, "{}"));
  const auto named = ctl({"start", platform::to_utf8(bad_json), platform::to_utf8(bad_name)});
  EXPECT_EQ(named.exit_code, 2);
  EXPECT_EQ(named.err, "错误：非法的规则集文件名：a b.srs\n");
}

TEST(Ctl, ReportsAServiceThatIsNotRunning) {
  ServiceDirFixture dir;
  const auto result = ctl({"status"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(result.err.starts_with("错误：无法连接服务 127.0.0.1:17895: ")) << result.err;
  EXPECT_EQ(result.out, "");
}

TEST(Ctl, DrivesTheBuiltService) {
  ServiceDirFixture dir;
  ProgramServer server(dir);
  ASSERT_TRUE(server.listening());
  const std::string log_line =
      "核心日志：" + platform::to_utf8(platform::join(dir.dir(), files::CORE_LOG_FILE)) + "\n";

  auto version = ctl({"--wait", "5", "version"});
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "服务版本：1.1.1（协议 2）\n核心版本：1.11.4-fake\n" + log_line);

  auto status = ctl({"--dir", platform::to_utf8(dir.dir()), "status"});
  EXPECT_EQ(status.out, "核心未运行\n" + log_line);

  const platform::Path config = platform::join(dir.dir(), "配置 1.json");
  const platform::Path ruleset = platform::join(dir.dir(), "geoip-cn.srs");
  const std::string ruleset_bytes("\x00\x01\xFF srs", 7);
  ASSERT_TRUE(platform::write_file(
      config, "\xEF\xBB\xBF{\r\n  \"log\": {\"level\": \"info\"},\r\n  \"x\": \"a  b\"\r\n}\r\n"));
  ASSERT_TRUE(platform::write_file(ruleset, ruleset_bytes));
  auto started = ctl({"start", platform::to_utf8(config), platform::to_utf8(ruleset)});
  EXPECT_EQ(started.exit_code, 0) << started.err;
  EXPECT_EQ(started.out, "核心已启动\n" + log_line);
  EXPECT_EQ(read_file(platform::join(dir.dir(), "work/rulesets/geoip-cn.srs")), ruleset_bytes);
  EXPECT_EQ(read_file(platform::join(dir.dir(), files::CONFIG_FILE)),
            "{\n  \"log\": {\n    \"level\": \"info\"\n  },\n  \"x\": \"a  b\"\n}");

  const auto pid = running_pid();
  ASSERT_TRUE(pid);
  status = ctl({"status"});
  EXPECT_TRUE(status.out.starts_with("核心正在运行：pid " + *pid + "，已运行 ")) << status.out;

  // The service's refusal: exit code 1 and its message.
  ASSERT_TRUE(platform::write_file(config, R"({"route":{"rules":[{"path":"/etc/x"}]}})"));
  auto refused = ctl({"start", platform::to_utf8(config)});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "错误：配置中不允许绝对路径：path = /etc/x\n");
  auto refused_json = ctl({"--json", "start", platform::to_utf8(config)});
  EXPECT_EQ(refused_json.exit_code, 1);
  EXPECT_EQ(refused_json.out, failure_line("配置中不允许绝对路径：path = /etc/x"));

  auto stopped = ctl({"stop"});
  EXPECT_EQ(stopped.exit_code, 0);
  EXPECT_EQ(stopped.out, "核心已停止\n");
  EXPECT_EQ(running_pid(), std::nullopt);
}

// keep holds one client, and so one token, for its whole run: after a restart of the service
// its first request meets "token 不匹配", reads the token again and carries on.
TEST(Ctl, KeepFollowsTheCoreAcrossAServiceRestart) {
  ServiceDirFixture dir;
  std::optional<ProgramServer> server(std::in_place, dir);
  ASSERT_TRUE(server->listening());
  const platform::Path output = platform::join(dir.dir(), "keep.txt");
  auto out = platform::open_output_file(output);
  ASSERT_TRUE(out);
  auto keep = platform::spawn(
      ctl_program(), {platform::Path("keep"), platform::Path("--every"), platform::Path("1")},
      out.value(), out.value());
  ASSERT_TRUE(keep) << keep.error().chain();
  EXPECT_TRUE(
      wait_until([&] { return read_file(output).find("核心未运行\n") != std::string::npos; }, 20s));

  const std::string old_token = dir.token();
  server.reset();
  server.emplace(dir);
  ASSERT_TRUE(
      wait_until([&] { return count_lines(dir.log(), "listening on 127.0.0.1:17895") == 2; }, 30s));
  ASSERT_NE(dir.token(), old_token);
  const platform::Path config = platform::join(dir.dir(), "c.json");
  ASSERT_TRUE(platform::write_file(config, "{}"));
  EXPECT_EQ(ctl({"start", platform::to_utf8(config)}).exit_code, 0);
  const auto pid = running_pid();
  ASSERT_TRUE(pid);
  const bool followed = wait_until(
      [&] { return read_file(output).find("，pid " + *pid + "\n") != std::string::npos; }, 20s);
  keep->terminate();
  (void)keep->wait();
  EXPECT_TRUE(followed) << read_file(output);
  EXPECT_EQ(read_file(output).find("token 不匹配"), std::string::npos) << read_file(output);
}

}  // namespace
}  // namespace tavrel::testing
