// Which version of the core is installed in the service directory.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/stop_flag.h"
#include "platform/paths.h"

namespace tavrel::core {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds VERSION_PROBE_TIME_LIMIT = 10s;

// Runs the core's version command and returns the third word of its first output line.
// Nothing when the core is missing, cannot be started, says too little, has not finished
// within `time_limit` (tests shorten it), or is cut short by `stop`.
std::optional<std::string> probe_core_version(
    const platform::Path& service_dir,
    std::chrono::milliseconds time_limit = VERSION_PROBE_TIME_LIMIT,
    const StopFlag* stop = nullptr);

// The version word of the version command's standard output.
std::optional<std::string> parse_version_output(std::string_view stdout_bytes);

}  // namespace tavrel::core
