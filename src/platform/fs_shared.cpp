#include <filesystem>
#include <system_error>

#include "platform/error.h"
#include "platform/fs.h"

namespace tavrel::platform {

Result<std::vector<Path>> directory_entries(const Path& dir) {
  std::error_code ec;
  // The empty path names the current directory, as it does when a name is joined onto it.
  std::filesystem::directory_iterator it(dir.empty() ? Path(".") : dir, ec);
  std::vector<Path> names;
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  if (ec) return os_error(ec.value());
  return names;
}

}  // namespace tavrel::platform
