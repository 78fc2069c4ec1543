// The Windows build as a real service: installed through the system's own sc.exe, started by
// the service control manager, driven over TCP, upgraded, stopped, started again and ended
// from outside, and uninstalled.
// It changes the service manager of the Wine prefix it runs in, so it runs only when
// tests/main/wine_service.sh has made a prefix of its own for it.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/program_lookup.h"
#include "support/test_support.h"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using nlohmann::json;
using platform::Path;
using Clock = std::chrono::steady_clock;

constexpr std::string_view GATE_VARIABLE = "TAVREL_WINE_SERVICE_TEST";
// Given to the install (and the uninstall) only: the service itself never sees the variable and
// finds its directory as the folder of its own program.
const std::string SERVICE_DIR = "C:\\Tavrel\\svc";
const std::string LOG_PATH = SERVICE_DIR + "\\core.log";

template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

platform::CapturedRun run(const Path& program, const std::vector<std::string>& args) {
  std::vector<Path> native;
  for (const auto& a : args) native.push_back(platform::from_utf8(a));
  auto ran = platform::run_captured(program, native, 120s);
  EXPECT_TRUE(ran) << ran.error().chain();
  if (!ran) return {};
  EXPECT_FALSE(ran->timed_out) << platform::to_utf8(program) << " "
                               << (args.empty() ? "" : args[0]);
  return std::move(ran).value();
}

Path sc_program() {
  auto sc = platform::find_tool("sc.exe");
  return sc ? sc->program : Path("sc.exe");
}

platform::CapturedRun sc(const std::vector<std::string>& args) { return run(sc_program(), args); }

// sc.exe's failure text as the install reports it.
std::string sc_reason(const platform::CapturedRun& ran) {
  const std::string& said = text::is_blank(text::utf8_lossy(ran.err)) ? ran.out : ran.err;
  return std::string(text::trim_unicode_space(
      platform::decode_console_output(said, platform::console_code_page())));
}
platform::CapturedRun service(const std::vector<std::string>& args) {
  return run(testing::service_program(), args);
}

// One request line and its response line over the control port, or nothing within `limit`.
std::optional<json> exchange(const std::string& token, const json& req,
                             std::chrono::milliseconds limit) {
  asio::io_context io;
  tcp::socket socket(io);
  const std::string line = json{{"token", token}, {"req", req}}.dump() + "\n";
  std::string response;
  bool answered = false;
  socket.async_connect({asio::ip::make_address_v4("127.0.0.1"), 17895}, [&](std::error_code ec) {
    if (ec) return;
    asio::async_write(socket, asio::buffer(line), [&](std::error_code ec, std::size_t) {
      if (ec) return;
      asio::async_read_until(socket, asio::dynamic_buffer(response), '\n',
                             [&](std::error_code ec, std::size_t) { answered = !ec; });
    });
  });
  io.run_for(limit);
  if (!answered) return std::nullopt;
  return json::parse(response.substr(0, response.find('\n')), nullptr, false);
}

// The stand-in core connects here when it runs and keeps the connection until it ends.
class CoreWatch {
 public:
  CoreWatch() : acceptor_(io_, {asio::ip::make_address_v4("127.0.0.1"), 0}), socket_(io_) {}
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

  // The pid the core sends once it runs.
  std::optional<std::uint32_t> accept_pid(std::chrono::milliseconds limit) {
    std::string line;
    bool got = false;
    acceptor_.async_accept(socket_, [&](std::error_code ec) {
      if (ec) return;
      asio::async_read_until(socket_, asio::dynamic_buffer(line), '\n',
                             [&](std::error_code ec, std::size_t) { got = !ec; });
    });
    io_.restart();
    io_.run_for(limit);
    if (!got) return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(line));
  }

  // Whether the core's end closed the connection within `limit`.
  bool ended(std::chrono::milliseconds limit) {
    bool closed = false;
    asio::async_read(socket_, asio::buffer(scratch_),
                     [&](std::error_code ec, std::size_t) { closed = static_cast<bool>(ec); });
    io_.restart();
    io_.run_for(limit);
    return closed;
  }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  tcp::socket socket_;
  char scratch_[256];
};

// With a helper port, the core first starts a helper of its own that connects there.
json start_request(std::uint16_t port, std::optional<std::uint16_t> helper_port = std::nullopt) {
  json fake{{"run_connect_port", port}};
  if (helper_port) fake["run_child_connect_port"] = *helper_port;
  return {{"cmd", "start"}, {"config", {{"fake", fake}}}};
}

std::string service_log() {
  return testing::read_file(platform::from_utf8(SERVICE_DIR + "\\service.log"));
}

TEST(WineService, InstallServeStopReinstallUninstall) {
  if (!platform::SERVICE_EXE_NAME.ends_with(".exe"))
    GTEST_SKIP() << "the Windows service manager only";
  if (!platform::env_path(GATE_VARIABLE))
    GTEST_SKIP() << "run by tests/main/wine_service.sh in a prefix of its own";

  const std::string core = platform::to_utf8(testing::helper_program("fake-core"));
  ASSERT_NE(sc({"query", "TavrelService"}).exit_code, 0) << "the prefix is not fresh";
  // The service manager runs already: it and the service started by it do not see this.
  platform::set_env("TAVREL_SERVICE_DIR", SERVICE_DIR);

  const auto installed = service({"install", core});
  ASSERT_EQ(installed.exit_code, 0) << installed.err;
  EXPECT_EQ(installed.out, "installed to " + SERVICE_DIR + "\n");
  const auto query = sc({"query", "TavrelService"});
  EXPECT_EQ(query.exit_code, 0);
  // Where this sc.exe cannot set recovery, the install says so in one line and goes on.
  const auto flag = sc({"failureflag", "TavrelService", "1"});
  if (flag.exit_code != 0) {
    std::string reason = sc_reason(flag);
    for (char& c : reason) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    EXPECT_EQ(
        installed.err,
        "警告：无法设置服务的故障恢复：sc.exe failureflag TavrelService 1 失败: " + reason + "\n");
  } else {
    EXPECT_EQ(installed.err, "");
  }

  std::string token;
  const Path token_file = platform::from_utf8(SERVICE_DIR + "\\token");
  ASSERT_TRUE(
      eventually([&] { return (token = testing::read_file(token_file)).size() == 32; }, 60s))
      << service_log();

  // The listener may still be waiting for the port: retry until the first answer.
  std::optional<json> version;
  ASSERT_TRUE(eventually(
      [&] {
        return (version = exchange(token, {{"cmd", "version"}}, 5s)).has_value();
      },
      60s));
  EXPECT_EQ((*version)["ok"], true) << version->dump();
  EXPECT_EQ((*version)["version"], "1.1.1");
  EXPECT_EQ((*version)["protocol"], 2);
  EXPECT_TRUE((*version)["singbox_version"].is_string()) << version->dump();
  EXPECT_EQ((*version)["log_path"], LOG_PATH);
  EXPECT_NE(
      service_log().find(" tavrel-service 1.1.1 starting, dir " + SERVICE_DIR + ", sing-box "),
      std::string::npos)
      << service_log();

  EXPECT_EQ(exchange(token, {{"cmd", "status"}}, 30s),
            (json{{"ok", true}, {"running", false}, {"log_path", LOG_PATH}}));

  CoreWatch first;
  EXPECT_EQ(exchange(token, start_request(first.port()), 60s),
            (json{{"ok", true}, {"running", true}, {"log_path", LOG_PATH}}));
  const auto pid = first.accept_pid(30s);
  ASSERT_TRUE(pid);
  const auto status = exchange(token, {{"cmd", "status"}}, 30s);
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)["running"], true) << status->dump();
  EXPECT_EQ((*status)["pid"], *pid);
  EXPECT_EQ((*status)["log_path"], LOG_PATH);

  EXPECT_EQ(exchange(token, {{"cmd", "stop"}}, 30s), (json{{"ok", true}, {"running", false}}));
  EXPECT_TRUE(first.ended(10s));

  // An upgrade from another directory with another core, while a core runs. Where this sc.exe
  // has no "config" the upgrade fails at registration, after a real stop, and brings the old
  // version back; where it has one, the new version runs.
  const std::vector<std::string> config = {
      "config", "TavrelService", "binPath=", "\"" + SERVICE_DIR + "\\tavrel-service.exe\" run",
      "start=", "auto"};
  const auto direct = sc(config);
  std::string message = "sc.exe";
  for (const auto& a : config) message += " " + a;
  message += " 失败: " + sc_reason(direct);
  testing::TempDir upgrade_source("tavrel upgrade source");
  const Path new_core = platform::join(upgrade_source.path(), "sing-box.exe");
  ASSERT_TRUE(platform::copy_file(testing::helper_program("fake-core"), new_core));
  // Bytes after the image: the same program, another file.
  ASSERT_TRUE(platform::append_file_shared(new_core, "another build"));
  const Path installed_core = platform::from_utf8(SERVICE_DIR + "\\sing-box.exe");
  const std::string old_core = testing::read_file(installed_core);
  ASSERT_NE(old_core, testing::read_file(new_core));

  CoreWatch upgraded_under;
  EXPECT_EQ(exchange(token, start_request(upgraded_under.port()), 60s),
            (json{{"ok", true}, {"running", true}, {"log_path", LOG_PATH}}));
  ASSERT_TRUE(upgraded_under.accept_pid(30s));
  const std::string token_before_upgrade = token;
  const auto upgraded = service({"install", platform::to_utf8(new_core)});
  EXPECT_TRUE(upgraded_under.ended(15s));
  if (direct.exit_code == 0) {
    EXPECT_EQ(upgraded.exit_code, 0) << upgraded.err;
    EXPECT_EQ(testing::read_file(installed_core), testing::read_file(new_core));
  } else {
    EXPECT_EQ(upgraded.exit_code, 1);
    EXPECT_EQ(upgraded.err, "错误：" + message + "\n原有版本已重新运行。\n");
    EXPECT_EQ(testing::read_file(installed_core), old_core);
  }
  EXPECT_FALSE(platform::exists(platform::from_utf8(SERVICE_DIR + "\\sing-box.old")));
  EXPECT_FALSE(platform::exists(platform::from_utf8(SERVICE_DIR + "\\tavrel-service.old")));
  EXPECT_NE(sc({"query", "TavrelService"}).out.find("RUNNING"), std::string::npos)
      << sc({"query", "TavrelService"}).out;
  ASSERT_TRUE(eventually(
      [&] {
        token = testing::read_file(token_file);
        return token.size() == 32 && token != token_before_upgrade;
      },
      60s))
      << service_log();
  std::optional<json> after_upgrade;
  ASSERT_TRUE(eventually(
      [&] {
        return (after_upgrade = exchange(token, {{"cmd", "status"}}, 5s)).has_value();
      },
      60s));
  EXPECT_EQ(*after_upgrade, (json{{"ok", true}, {"running", false}, {"log_path", LOG_PATH}}));

  // A core that is still running when the service manager stops the service.
  CoreWatch second;
  EXPECT_EQ(exchange(token, start_request(second.port()), 60s),
            (json{{"ok", true}, {"running", true}, {"log_path", LOG_PATH}}));
  ASSERT_TRUE(second.accept_pid(30s));
  EXPECT_EQ(sc({"stop", "TavrelService"}).exit_code, 0);
  // The cause on its own line, then the fixed shutdown line.
  const std::regex stop_lines(
      " stop requested \\(service stop\\)\n\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} shutting down \\(signal 0\\)\n");
  EXPECT_TRUE(eventually([&] { return std::regex_search(service_log(), stop_lines); }, 30s))
      << service_log();
  EXPECT_TRUE(second.ended(15s));
  EXPECT_TRUE(eventually(
      [] {
        return sc({"query", "TavrelService"}).out.find("STOPPED") != std::string::npos;
      },
      30s))
      << sc({"query", "TavrelService"}).out;

  // Ended from outside while its core runs with a helper of its own: the job ends them both.
  const std::string stopped_token = token;
  EXPECT_EQ(sc({"start", "TavrelService"}).exit_code, 0);
  ASSERT_TRUE(eventually(
      [&] {
        token = testing::read_file(token_file);
        return token.size() == 32 && token != stopped_token;
      },
      60s))
      << service_log();
  CoreWatch third, helper;
  std::optional<json> started;
  ASSERT_TRUE(eventually(
      [&] {
        started = exchange(token, start_request(third.port(), helper.port()), 60s);
        return started.has_value();
      },
      60s));
  EXPECT_EQ((*started)["ok"], true) << started->dump();
  const auto third_pid = third.accept_pid(30s);
  const auto helper_pid = helper.accept_pid(30s);
  const auto service_pid = testing::service_process_id("TavrelService");
  ASSERT_TRUE(third_pid && helper_pid && service_pid);
  ASSERT_FALSE(testing::process_has_ended(*helper_pid));
  ASSERT_TRUE(testing::kill_process(*service_pid));
  EXPECT_TRUE(eventually(
      [&] {
        return testing::process_has_ended(*third_pid) && testing::process_has_ended(*helper_pid);
      },
      15s))
      << "the core or its helper outlived the killed service";

  const auto uninstalled = service({"uninstall"});
  EXPECT_EQ(uninstalled.exit_code, 0);
  EXPECT_EQ(uninstalled.out, "uninstalled\n");
  EXPECT_NE(sc({"query", "TavrelService"}).exit_code, 0);
  EXPECT_FALSE(platform::exists(platform::from_utf8(SERVICE_DIR)));
}

}  // namespace
}  // namespace tavrel
