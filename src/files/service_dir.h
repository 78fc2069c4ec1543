// The service directory: every file of the system lives in it.
#pragma once

#include <optional>
#include <string_view>

#include "common/command_error.h"
#include "platform/access.h"
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

// Resolved on every call; caches nothing and cannot fail. Started by the service manager,
// the service's directory is the folder of its own program: the environment of whoever
// installed it is not the service's. Everywhere else it is resolved from the environment.
ServiceDir service_dir();

// Who may use what in the service directory; "" is the directory itself. What lies below a
// directory inherits from it.
struct AccessRule {
  std::string_view name;
  platform::Access kind;
};
inline constexpr AccessRule ACCESS_RULES[] = {
    {"", platform::Access::ServiceDir},
    {CONFIG_FILE, platform::Access::PrivateFile},
    {WORK_DIR, platform::Access::PrivateDir},
    {STAGING_DIR, platform::Access::PrivateDir},
    {SWAP_DIR, platform::Access::PrivateDir},
    {CHILDREN_DIR, platform::Access::PrivateDir},
    {TOKEN_FILE, platform::Access::Token},
    {SERVICE_LOG_FILE, platform::Access::Log},
    {SERVICE_LOG_OLD_FILE, platform::Access::Log},
    {CORE_LOG_FILE, platform::Access::Log},
    {CORE_LOG_OLD_FILE, platform::Access::Log},
    // Their Windows names: POSIX leaves a program's mode as installed.
    {"tavrel-service.exe", platform::Access::Program},
    {"sing-box.exe", platform::Access::Program},
    {"wintun.dll", platform::Access::Program},
};

// The kind of a name of ACCESS_RULES; nothing for any other name.
std::optional<platform::Access> access_of(std::string_view name);

// Gives every path of ACCESS_RULES that exists the access of its kind, the directory first.
// Goes on past a failure; the first one is the result, naming its path.
Status secure_service_files(const ServiceDir& dir);

}  // namespace tavrel::files
