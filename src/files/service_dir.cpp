#include "files/service_dir.h"

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/service_host.h"

namespace tavrel::files {

ServiceDir service_dir() {
  if (platform::started_by_service_manager()) {
    if (auto exe = platform::current_exe()) return exe->parent_path();
  }
  if (auto overridden = platform::env_path(SERVICE_DIR_VARIABLE)) return *overridden;
  const platform::Path base =
      platform::env_path("ProgramFiles").value_or(platform::from_utf8(platform::DEFAULT_PROGRAM_FILES));
  return platform::join(platform::join(base, "Tavrel"), "service");
}

std::optional<platform::Access> access_of(std::string_view name) {
  for (const AccessRule& rule : ACCESS_RULES) {
    if (rule.name == name) return rule.kind;
  }
  return std::nullopt;
}

Status secure_service_files(const ServiceDir& dir) {
  Status first;
  for (const AccessRule& rule : ACCESS_RULES) {
    const platform::Path path = rule.name.empty() ? dir : platform::join(dir, rule.name);
    if (!platform::exists(path)) continue;
    if (auto set = platform::set_access(path, rule.kind); !set && first) {
      first = std::move(set).error().context("set access of " + platform::to_utf8(path));
    }
  }
  return first;
}

}  // namespace tavrel::files
