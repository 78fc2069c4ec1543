#include "install/install.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "files/service_dir.h"
#include "install/copy_replace.h"
#include "install/sc_runner.h"
#include "platform/access.h"
#include "platform/console.h"
#include "platform/fs.h"

namespace tavrel::install {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view START_TYPE = "auto";
// Restarted 5 s, 5 s, then 60 s after a failure; the count of failures starts again after a day.
constexpr std::string_view RECOVERY_RESET = "86400";
constexpr std::string_view RECOVERY_ACTIONS = "restart/5000/restart/5000/restart/60000";
// Also when the service stops by itself with an error, not only when its process dies.
constexpr std::string_view RECOVERY_ON_ERROR = "1";
// Followed by the reason.
constexpr std::string_view RECOVERY_WARNING = "警告：无法设置服务的故障恢复：";
// "服务目录 <dir> 的所有者是 <owner>，不是 Administrators 或 SYSTEM，不能安装到这里"
constexpr std::string_view FOREIGN_DIR = "服务目录 ";
constexpr std::string_view FOREIGN_DIR_OWNER = " 的所有者是 ";
constexpr std::string_view FOREIGN_DIR_TAIL = "，不是 Administrators 或 SYSTEM，不能安装到这里";
constexpr std::string_view SECURE_FAILED = "设置服务文件的访问权限失败";
// sc stop only asks; the old process gets this long to let go of its files.
constexpr auto STOP_PAUSE = 2s;

std::string service_name() { return std::string(SERVICE_NAME); }

// The quoted full path of the installed program followed by its command word.
std::string service_command_line(const files::ServiceDir& dir) {
  return "\"" + platform::to_utf8(platform::join(dir, platform::SERVICE_EXE_NAME)) + "\" run";
}

Status place(const platform::Path& from, const files::ServiceDir& dir, std::string_view name) {
  return copy_replace(from, platform::join(dir, name));
}

// Best effort: without it the service runs as well, it is only not restarted after a crash.
void configure_recovery() {
  Status set = run_sc_strict({"failure", service_name(), "reset=", std::string(RECOVERY_RESET),
                              "actions=", std::string(RECOVERY_ACTIONS)});
  if (set) set = run_sc_strict({"failureflag", service_name(), std::string(RECOVERY_ON_ERROR)});
  if (set) return;
  // One line, though sc's own text may run over several.
  std::string reason = set.error().chain();
  for (char& c : reason) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  platform::write_stderr(std::string(RECOVERY_WARNING) + reason + "\n");
}

// In the directory the core was named in; a bare file name means the current directory.
platform::Path wintun_beside(const platform::Path& singbox) {
  return platform::Path(singbox).replace_filename(platform::from_utf8(WINTUN_FILE));
}

}  // namespace

Status install(const platform::Path& singbox) {
  const files::ServiceDir dir = files::service_dir();

  auto query = run_sc({"query", service_name()});
  if (!query) return std::move(query).error();
  const bool registered = query->exit_code == 0;
  if (registered) {
    (void)run_sc({"stop", service_name()});
    std::this_thread::sleep_for(STOP_PAUSE);
  }

  // Before anything is copied: whoever may write here may replace what runs as SYSTEM.
  auto claimed = platform::claim_directory(dir);
  if (!claimed) return std::move(claimed).error().context("创建服务目录失败");
  if (claimed->has_value()) {
    return CommandError(std::string(FOREIGN_DIR) + platform::to_utf8(dir) +
                        std::string(FOREIGN_DIR_OWNER) + **claimed + std::string(FOREIGN_DIR_TAIL));
  }
  if (auto made = platform::create_directories(platform::join(dir, files::WORK_DIR)); !made) {
    return std::move(made).error().context("创建服务目录失败");
  }
  auto exe = platform::current_exe();
  if (!exe) return std::move(exe).error().context("current_exe");
  if (auto placed = place(exe.value(), dir, platform::SERVICE_EXE_NAME); !placed) return placed;
  if (auto placed = place(singbox, dir, platform::CORE_EXE_NAME); !placed) return placed;
  const platform::Path wintun = wintun_beside(singbox);
  if (platform::is_regular_file(wintun)) {
    if (auto placed = place(wintun, dir, WINTUN_FILE); !placed) return placed;
  }

  if (auto secured = files::secure_service_files(dir); !secured) {
    return std::move(secured).error().context(std::string(SECURE_FAILED));
  }

  const std::string bin_path = service_command_line(dir);
  const std::vector<std::string> registration =
      registered
          ? std::vector<std::string>{"config", service_name(), "binPath=",
                                     bin_path, "start=",       std::string(START_TYPE)}
          : std::vector<std::string>{
                "create", service_name(),          "binPath=",     bin_path,
                "start=", std::string(START_TYPE), "DisplayName=", std::string(DISPLAY_NAME)};
  if (auto done = run_sc_strict(registration); !done) return done;
  (void)run_sc({"description", service_name(), std::string(DESCRIPTION)});
  configure_recovery();
  if (auto started = run_sc_strict({"start", service_name()}); !started) return started;

  platform::write_stdout("installed to " + platform::to_utf8(dir) + "\n");
  return {};
}

void uninstall() {
  (void)run_sc({"stop", service_name()});
  std::this_thread::sleep_for(STOP_PAUSE);
  (void)run_sc({"delete", service_name()});
  (void)platform::remove_all(files::service_dir());
  platform::write_stdout("uninstalled\n");
}

}  // namespace tavrel::install
