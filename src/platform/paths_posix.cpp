#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/text.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace tavrel::platform {

const std::string_view SERVICE_EXE_NAME = "tavrel-service";
const std::string_view CORE_EXE_NAME = "sing-box";
const std::string_view SC_EXE_NAME = "sc";
const std::string_view DEFAULT_PROGRAM_FILES = "/opt";

Path join(const Path& left, std::string_view right_utf8) {
  std::string joined = left.native();
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += right_utf8;
  return Path(std::move(joined));
}

std::string to_utf8(const Path& path) { return text::utf8_lossy(path.native()); }

Path from_utf8(std::string_view utf8) { return Path(std::string(utf8)); }

Result<Path> current_exe() {
  std::vector<char> buffer(4096);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return last_os_error();
    if (static_cast<std::size_t>(n) < buffer.size()) return Path(std::string(buffer.data(), static_cast<std::size_t>(n)));
    buffer.resize(buffer.size() * 2);
  }
  return os_error(ENAMETOOLONG);
}

}  // namespace tavrel::platform
