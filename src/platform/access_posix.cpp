#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/access.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace tavrel::platform {
namespace {

bool takes_directory_group(Access kind) { return kind == Access::Token || kind == Access::Log; }

std::string user_name(uid_t uid) {
  if (const passwd* entry = ::getpwuid(uid)) return entry->pw_name;
  return std::to_string(uid);
}

}  // namespace

Status set_access(const Path& path, Access kind) {
  const auto mode = access_mode(kind);
  if (!mode) return {};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  if (takes_directory_group(kind)) {
    const Path dir = path.has_parent_path() ? path.parent_path() : Path(".");
    struct stat dir_stat {};
    if (::stat(dir.c_str(), &dir_stat) != 0) return last_os_error();
    if (st.st_gid != dir_stat.st_gid && ::chown(path.c_str(), static_cast<uid_t>(-1), dir_stat.st_gid) != 0) {
      return last_os_error();
    }
  }
  if ((st.st_mode & 07777) != *mode && ::chmod(path.c_str(), *mode) != 0) return last_os_error();
  return {};
}

bool start_up_sets_access() { return true; }

Result<std::optional<std::string>> claim_directory(const Path& dir) {
  const Path parent = dir.parent_path();
  if (!parent.empty() && parent != dir) {
    if (auto made = platform::create_directories(parent); !made) return std::move(made).error();
  }
  if (::mkdir(dir.c_str(), 0755) == 0) return std::optional<std::string>();
  if (errno != EEXIST) return last_os_error();
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return last_os_error();
  if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return std::optional<std::string>(user_name(st.st_uid));
  return std::optional<std::string>();
}

}  // namespace tavrel::platform
