#include "core/singbox.h"

#include "files/service_dir.h"
#include "files/service_log.h"
#include "platform/process.h"

namespace tavrel::core {

platform::Path core_executable(const platform::Path& service_dir) {
  return platform::join(service_dir, platform::CORE_EXE_NAME);
}

platform::Path child_records_dir(const platform::Path& service_dir) {
  return platform::join(service_dir, files::CHILDREN_DIR);
}

std::vector<platform::Path> version_args() { return {"version"}; }

std::vector<platform::Path> check_args(const platform::Path& config_path,
                                       const platform::Path& work_dir) {
  return {"check", "--disable-color", "-c", config_path, "-D", work_dir};
}

std::vector<platform::Path> run_args(const platform::Path& config_path,
                                     const platform::Path& work_dir) {
  return {"run", "-c", config_path, "-D", work_dir, "--disable-color"};
}

Result<CheckResult> run_check(const platform::Path& service_dir, const platform::Path& config_path,
                              const platform::Path& work_dir,
                              std::chrono::milliseconds time_limit, const StopFlag* stop) {
  auto run = platform::run_captured(core_executable(service_dir), check_args(config_path, work_dir),
                                    time_limit, captured_run_options(service_dir, stop));
  if (!run) return std::move(run).error().context(std::string(CHECK_START_FAILED));
  CheckResult result{run->exit_code, std::move(run->err), run->timed_out || run->cancelled};
  if (result.timed_out) {
    if (result.exit_code == 0) result.exit_code = 1;
    if (!result.stderr_bytes.empty() && result.stderr_bytes.back() != '\n') {
      result.stderr_bytes += '\n';
    }
    result.stderr_bytes += run->cancelled ? CHECK_CANCELLED_LINE : CHECK_TIMED_OUT_LINE;
  }
  return result;
}

platform::SpawnOptions captured_run_options(const platform::Path& service_dir,
                                            const StopFlag* stop) {
  return {.no_window = true,
          .system_path = true,
          .record_dir = child_records_dir(service_dir),
          .cancel = stop,
          .warn = [](const std::string& line) { files::log_line(line); }};
}

}  // namespace tavrel::core
