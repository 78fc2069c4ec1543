// Runs the platform's service control tool, sc, with its output captured.
#pragma once

#include <cstdint>
#include <string>
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

}  // namespace tavrel::install
