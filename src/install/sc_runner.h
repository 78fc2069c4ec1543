// Runs the platform's service control tool, sc, with its output captured.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_error.h"

namespace tavrel::install {

struct ScRun {
  std::uint32_t exit_code = 0;
  std::string out;
  std::string err;
};

// Runs sc with `args` (UTF-8, one element per argument, passed on unchanged) and waits for it.
// On Windows only the system directory's sc.exe is run, in that directory.
// Fails only when sc cannot be found, started or waited for: "无法运行 sc.exe".
Result<ScRun> run_sc(const std::vector<std::string>& args);

// The same, and a nonzero exit code fails as well: "sc.exe <args joined by spaces> 失败: "
// followed by sc's trimmed failure text: its standard error, or its standard output when the
// standard error holds nothing but white space; text that is not UTF-8 is read in the
// console's code page.
Status run_sc_strict(const std::vector<std::string>& args);

// The failure of a refused run: "sc.exe <args joined by spaces> 失败: " and what sc said,
// trimmed: its standard error, or its standard output when standard error is blank, text that
// is not UTF-8 decoded from the console's code page.
CommandError rejected(const std::vector<std::string>& args, const ScRun& run);

// A service's state as sc query's STATE line gives it (the service manager's numbering).
inline constexpr std::uint32_t STATE_STOPPED = 1;
inline constexpr std::uint32_t STATE_START_PENDING = 2;
inline constexpr std::uint32_t STATE_STOP_PENDING = 3;
inline constexpr std::uint32_t STATE_RUNNING = 4;

// The number on the STATE line of sc query's output, or nothing when there is none.
std::optional<std::uint32_t> parse_state(std::string_view query_output);
// The state's name as sc prints it ("STOP_PENDING"), or its number for one without a name here.
std::string state_name(std::uint32_t state);

// The state in the output of a finished sc query of `service`; fails as query_state does.
Result<std::uint32_t> state_in(std::string_view service, const ScRun& query);
// Asks sc for the state of `service`. Fails when sc cannot run, refuses the query, or prints
// no state.
Result<std::uint32_t> query_state(std::string_view service);

}  // namespace tavrel::install
