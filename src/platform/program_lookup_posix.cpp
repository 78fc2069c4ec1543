#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/program_lookup.h"

namespace tavrel::platform {
namespace {

std::vector<Path> search_dirs() {
  std::vector<Path> dirs;
  if (auto exe = current_exe()) dirs.push_back(exe->parent_path());
  const char* path = std::getenv("PATH");
  if (path == nullptr) return dirs;
  std::string_view rest = path;
  for (;;) {
    const std::size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    // An empty entry means the current directory.
    if (!entry.empty() && entry.front() == '/') dirs.emplace_back(std::string(entry));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return dirs;
}

}  // namespace

Result<Tool> find_tool(std::string_view file_name) {
  for (const Path& dir : search_dirs()) {
    Path candidate = join(dir, file_name);
    if (platform::is_regular_file(candidate) && ::access(candidate.c_str(), X_OK) == 0)
      return Tool{std::move(candidate), Path{}};
  }
  return os_error(ENOENT);
}

}  // namespace tavrel::platform
