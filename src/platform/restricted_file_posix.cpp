#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/error.h"
#include "platform/fs.h"

namespace tavrel::platform {

Status write_restricted_file(const Path& file, std::string_view bytes) {
  const Path dir = file.has_parent_path() ? file.parent_path() : Path(".");
  struct stat dir_stat {};
  if (::stat(dir.c_str(), &dir_stat) != 0) return last_os_error();
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return last_os_error();
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  // Set on the open file before anything is written: the umask may have narrowed the mode,
  // and a file that existed keeps its old mode and group through O_TRUNC.
  struct stat file_stat {};
  if (::fstat(fd, &file_stat) != 0) return last_os_error();
  if (file_stat.st_gid != dir_stat.st_gid && ::fchown(fd, static_cast<uid_t>(-1), dir_stat.st_gid) != 0) {
    return last_os_error();
  }
  if (::fchmod(fd, 0640) != 0) return last_os_error();
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  closer.fd = -1;
  if (::close(fd) != 0) return last_os_error();
  return {};
}

Result<std::string> file_access_text(const Path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return last_os_error();
  char text[64];
  std::snprintf(text, sizeof text, "mode %04o group %lu", static_cast<unsigned>(st.st_mode & 07777),
                static_cast<unsigned long>(st.st_gid));
  return std::string(text);
}

}  // namespace tavrel::platform
