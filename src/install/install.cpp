#include "install/install.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/service_dir.h"
#include "install/file_set.h"
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
// sc stop only asks: the state is read this often until the service has stopped, for at
// most this long in all. The same wait bounds a start.
constexpr auto STATE_POLL = 200ms;
constexpr auto STATE_WAIT = 30s;
// After a stop that did not come in time, at the start of an install.
constexpr std::string_view NOTHING_CHANGED = "，未更改任何文件";
constexpr std::uint32_t MARKED_FOR_DELETE = 1072;
constexpr std::string_view MARKED_FOR_DELETE_HINT =
    "该服务仍被标记为待删除：请关闭占用它的程序（例如“服务”管理控制台），或重新启动 Windows。";
// How a failed upgrade ends for the earlier version, on the line after the failure.
constexpr std::string_view OLD_RUNS_AGAIN = "原有版本已重新运行。";
constexpr std::string_view OLD_NOT_STARTED = "原有版本的文件已恢复，但它未能重新启动：";
constexpr std::string_view OLD_WAS_STOPPED = "原有版本的文件已恢复；它此前未在运行，未启动。";
constexpr std::string_view OLD_NOT_RESTORED = "未能恢复原有版本：";
constexpr std::string_view SET_ASIDE_WARNING = "警告：无法删除旧版本的文件：";
constexpr std::string_view LEFT_BEHIND_WARNING = "警告：服务目录未能完全删除，留下了 ";

std::string service_name() { return std::string(SERVICE_NAME); }

// The quoted full path of the installed program followed by its command word.
std::string service_command_line(const files::ServiceDir& dir) {
  return "\"" + platform::to_utf8(platform::join(dir, platform::SERVICE_EXE_NAME)) + "\" run";
}

std::string seconds_text(std::chrono::milliseconds wait) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count());
}

// Waits until the service has stopped, sending the stop again whenever it turns RUNNING (a stop
// sent while it was still starting is refused). `state` is the one last read. Gives the last
// state read: STOPPED, or another when the wait ran out.
Result<std::uint32_t> wait_for_stop(std::uint32_t state) {
  const auto deadline = std::chrono::steady_clock::now() + STATE_WAIT;
  for (std::uint32_t sent_at = state; state != STATE_STOPPED;) {
    if (state == STATE_RUNNING && sent_at != STATE_RUNNING) (void)run_sc({"stop", service_name()});
    sent_at = state;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(STATE_POLL);
    auto read = query_state(SERVICE_NAME);
    if (!read) return std::move(read).error();
    state = *read;
  }
  return state;
}

// Sends the stop and waits for it; a failure leaves the service as it is. `then` ends the
// message of a stop that did not come, saying what that left.
Status stop_service(std::uint32_t state, std::string_view then = "") {
  (void)run_sc({"stop", service_name()});
  auto last = wait_for_stop(state);
  if (!last) return std::move(last).error();
  if (*last == STATE_STOPPED) return {};
  return CommandError("服务在 " + seconds_text(STATE_WAIT) + " 秒内未停止（状态：" +
                      state_name(*last) + "）" + std::string(then));
}

// After a start that sc accepted: the service runs once it reports RUNNING (it does so only
// when it is ready to answer).
Status wait_for_running() {
  const auto deadline = std::chrono::steady_clock::now() + STATE_WAIT;
  for (;;) {
    auto state = query_state(SERVICE_NAME);
    if (!state) return std::move(state).error();
    if (*state == STATE_RUNNING) return {};
    if (*state != STATE_START_PENDING) {
      return CommandError("服务启动后未能运行（状态：" + state_name(*state) + "）");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return CommandError("服务在 " + seconds_text(STATE_WAIT) + " 秒内未进入运行状态（状态：" +
                          state_name(*state) + "）");
    }
    std::this_thread::sleep_for(STATE_POLL);
  }
}

Status start_service() {
  if (auto started = run_sc_strict({"start", service_name()}); !started) return started;
  return wait_for_running();
}

// What an upgrade has done so far, for taking it back.
struct Upgrade {
  bool was_running = false;
  bool files_moved = false;
  bool start_sent = false;
};

// Brings the earlier version back after `failure`: the new one stopped if it was started, the
// old files put back, the old service started again if it ran before. The result is the
// failure with, on a line of its own, how the earlier version ends up.
CommandError roll_back(CommandError failure, const Upgrade& upgrade,
                       const std::vector<NewFile>& set) {
  const auto with_line = [&](std::string line) {
    return CommandError(failure.chain() + "\n" + line);
  };
  if (upgrade.start_sent) {
    auto state = query_state(SERVICE_NAME);
    Status stopped = state ? Status{} : Status(std::move(state).error());
    if (stopped && *state != STATE_STOPPED) stopped = stop_service(*state);
    if (!stopped) return with_line(std::string(OLD_NOT_RESTORED) + stopped.error().chain());
  }
  if (upgrade.files_moved) {
    if (auto back = put_back(set); !back) {
      return with_line(std::string(OLD_NOT_RESTORED) + back.error().chain());
    }
  }
  if (!upgrade.was_running) {
    if (!upgrade.files_moved) return failure;
    return with_line(std::string(OLD_WAS_STOPPED));
  }
  if (auto started = start_service(); !started) {
    return with_line(std::string(OLD_NOT_STARTED) + started.error().chain());
  }
  return with_line(std::string(OLD_RUNS_AGAIN));
}

// sc exits with the system's error code and prints it as "FAILED 1072:" (the word in the
// system's language); the text also serves where an exit status holds only eight bits.
bool marked_for_delete(const ScRun& create) {
  const std::string code = std::to_string(MARKED_FOR_DELETE) + ":";
  return create.exit_code == MARKED_FOR_DELETE || create.out.find(code) != std::string::npos ||
         create.err.find(code) != std::string::npos;
}

// sc's own text does not say what clears this.
CommandError explain_marked_for_delete(CommandError failure) {
  return CommandError(failure.chain() + "\n" + std::string(MARKED_FOR_DELETE_HINT));
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
  Upgrade upgrade;
  if (registered) {
    auto state = state_in(SERVICE_NAME, *query);
    if (!state) return std::move(state).error();
    // Nothing is touched until the old service has let go of its files.
    if (*state != STATE_STOPPED) {
      if (auto stopped = stop_service(*state, NOTHING_CHANGED); !stopped) return stopped;
      upgrade.was_running = true;
    }
  }

  // Before anything is copied: whoever may write here may replace what runs as SYSTEM.
  auto claimed = platform::claim_directory(dir);
  if (!claimed) return roll_back(std::move(claimed).error().context("创建服务目录失败"), upgrade, {});
  if (claimed->has_value()) {
    return roll_back(CommandError(std::string(FOREIGN_DIR) + platform::to_utf8(dir) + std::string(FOREIGN_DIR_OWNER) +
                                  **claimed + std::string(FOREIGN_DIR_TAIL)),
                     upgrade, {});
  }
  if (auto made = platform::create_directories(platform::join(dir, files::WORK_DIR)); !made) {
    return roll_back(std::move(made).error().context("创建服务目录失败"), upgrade, {});
  }
  auto exe = platform::current_exe();
  if (!exe) return roll_back(std::move(exe).error().context("current_exe"), upgrade, {});
  std::vector<NewFile> set = {{exe.value(), platform::join(dir, platform::SERVICE_EXE_NAME)},
                              {singbox, platform::join(dir, platform::CORE_EXE_NAME)}};
  // A core without wintun.dll beside it leaves an installed one as it is.
  const platform::Path wintun = wintun_beside(singbox);
  if (platform::is_regular_file(wintun)) set.push_back({wintun, platform::join(dir, WINTUN_FILE)});

  if (auto copied = copy_beside(set); !copied) {
    return roll_back(std::move(copied).error(), upgrade, set);
  }
  // move_in takes back its own moves when one fails.
  if (auto moved = move_in(set); !moved) return roll_back(std::move(moved).error(), upgrade, set);
  upgrade.files_moved = true;

  if (auto secured = files::secure_service_files(dir); !secured) {
    return roll_back(std::move(secured).error().context(std::string(SECURE_FAILED)), upgrade, set);
  }

  const std::string bin_path = service_command_line(dir);
  if (registered) {
    auto done = run_sc_strict(
        {"config", service_name(), "binPath=", bin_path, "start=", std::string(START_TYPE)});
    if (!done) return roll_back(std::move(done).error(), upgrade, set);
  } else {
    auto created =
        run_sc({"create", service_name(), "binPath=", bin_path, "start=", std::string(START_TYPE),
                "DisplayName=", std::string(DISPLAY_NAME)});
    if (!created) return std::move(created).error();
    if (created->exit_code != 0) {
      CommandError failure =
          rejected({"create", service_name(), "binPath=", bin_path,
                    "start=", std::string(START_TYPE), "DisplayName=", std::string(DISPLAY_NAME)},
                   *created);
      if (marked_for_delete(*created)) return explain_marked_for_delete(std::move(failure));
      return failure;
    }
  }
  (void)run_sc({"description", service_name(), std::string(DESCRIPTION)});
  configure_recovery();
  upgrade.start_sent = true;
  if (auto started = start_service(); !started) {
    if (!registered) return started;
    return roll_back(std::move(started).error(), upgrade, set);
  }
  if (auto dropped = drop_set_aside(set); !dropped) {
    platform::write_stderr(std::string(SET_ASIDE_WARNING) + dropped.error().chain() + "\n");
  }

  platform::write_stdout("installed to " + platform::to_utf8(dir) + "\n");
  return {};
}

void uninstall() {
  const files::ServiceDir dir = files::service_dir();
  (void)run_sc({"stop", service_name()});
  // Best effort: a service that cannot be queried (not registered) or does not stop in time is
  // deleted all the same, and whatever it still holds stays behind.
  if (auto state = query_state(SERVICE_NAME)) (void)wait_for_stop(*state);
  (void)run_sc({"delete", service_name()});
  Status removed = platform::exists(dir) ? platform::remove_all(dir) : Status{};
  platform::write_stdout("uninstalled\n");
  if (removed || !platform::exists(dir)) return;
  std::string left;
  if (auto entries = platform::directory_entries(dir)) {
    for (const platform::Path& entry : *entries) {
      left += (left.empty() ? "" : "、") + platform::to_utf8(entry);
    }
  }
  platform::write_stderr(std::string(LEFT_BEHIND_WARNING) + platform::to_utf8(dir) +
                         (left.empty() ? "" : "（" + left + "）") + "：" + removed.error().chain() +
                         "\n");
}

}  // namespace tavrel::install
