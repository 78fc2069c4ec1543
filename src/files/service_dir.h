// The service directory: every file of the system lives in it.
#pragma once

#include <string_view>

#include "platform/paths.h"

namespace tavrel::files {

using ServiceDir = platform::Path;

// Names inside the service directory.
inline constexpr std::string_view WORK_DIR = "work";
inline constexpr std::string_view RULESETS_DIR = "rulesets";  // inside WORK_DIR
inline constexpr std::string_view CONFIG_FILE = "config.json";
inline constexpr std::string_view CORE_LOG_FILE = "core.log";
inline constexpr std::string_view CORE_LOG_OLD_FILE = "core.log.1";  // the previous core.log
inline constexpr std::string_view SERVICE_LOG_FILE = "service.log";
inline constexpr std::string_view SERVICE_LOG_OLD_FILE = "service.log.1";
// A start's new config.json and rulesets, until its check has passed.
inline constexpr std::string_view STAGING_DIR = "staging";
// The staging place renamed once the check has passed and the old core is stopped: from then on
// the start is committed, and its files replace the live ones even across a crash.
inline constexpr std::string_view SWAP_DIR = "swap";
inline constexpr std::string_view TOKEN_FILE = "token";
// A file written beside its final name and renamed onto it carries this suffix until then;
// start-up removes any that a crash left behind.
inline constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
// One record per running child's process tree (POSIX), for ending what a crash left running.
inline constexpr std::string_view CHILDREN_DIR = "children";

inline constexpr std::string_view SERVICE_DIR_VARIABLE = "TAVREL_SERVICE_DIR";

// Resolved from the environment on every call; caches nothing and cannot fail.
ServiceDir service_dir();

}  // namespace tavrel::files
