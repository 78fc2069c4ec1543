// The three ways the service starts the proxy core: version, check and run.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "common/stop_flag.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrel::core {

using namespace std::chrono_literals;

inline constexpr std::string_view CHECK_START_FAILED = "无法运行 sing-box";
// The last line of a check's error output when the check was given up.
inline constexpr std::string_view CHECK_TIMED_OUT_LINE = "配置校验超时（60 秒）";
// The same when the service stopped while the check ran.
inline constexpr std::string_view CHECK_CANCELLED_LINE = "服务正在停止，配置校验已中止";
inline constexpr std::chrono::milliseconds CHECK_TIME_LIMIT = 60s;

// The core executable inside the service directory.
platform::Path core_executable(const platform::Path& service_dir);
// Where the trees of running cores, checks and probes are recorded, for the next start-up.
platform::Path child_records_dir(const platform::Path& service_dir);

std::vector<platform::Path> version_args();
std::vector<platform::Path> check_args(const platform::Path& config_path,
                                       const platform::Path& work_dir);
std::vector<platform::Path> run_args(const platform::Path& config_path,
                                     const platform::Path& work_dir);

// How checks and version probes are started: without a window, with the system's PATH,
// recorded for the next start-up, ended at once when `stop` is raised.
platform::SpawnOptions captured_run_options(const platform::Path& service_dir,
                                            const StopFlag* stop);

struct CheckResult {
  // 0: the configuration is accepted. A check given up (its time limit, a stop) is refused.
  int exit_code = 0;
  std::string stderr_bytes;
  bool timed_out = false;  // also when cut short by a stop
};

// Runs the core's check of `config_path` and waits for it, at most `time_limit` (tests
// shorten it) and only until `stop` is raised. Fails with CHECK_START_FAILED and the system
// error when the core cannot be started. A check that times out or is cut short by `stop` is
// ended and refused; its error output then ends with CHECK_TIMED_OUT_LINE or
// CHECK_CANCELLED_LINE.
Result<CheckResult> run_check(const platform::Path& service_dir, const platform::Path& config_path,
                              const platform::Path& work_dir,
                              std::chrono::milliseconds time_limit = CHECK_TIME_LIMIT,
                              const StopFlag* stop = nullptr);

}  // namespace tavrel::core
