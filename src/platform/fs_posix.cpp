#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/access.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace tavrel::platform {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting a failure of the close itself.
  Status close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return last_os_error();
    return {};
  }

 private:
  int fd_;
};

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status from_error_code(const std::error_code& ec) { return os_error(ec.value()); }

}  // namespace

Status create_directories(const Path& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  const int err = errno;
  if (err == EEXIST) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
    return os_error(EEXIST);
  }
  const Path parent = dir.parent_path();
  if (err != ENOENT || parent.empty() || parent == dir) return os_error(err);
  if (auto made = platform::create_directories(parent); !made) return made;
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  const int again = errno;
  struct stat st;
  if (again == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return os_error(again);
}

Result<FileWriter> FileWriter::create(const Path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return last_os_error();
  return FileWriter(fd);
}

Result<FileWriter> FileWriter::create(const Path& file, Access kind) {
  const auto mode = access_mode(kind);
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode.value_or(0666));
  if (fd < 0) return last_os_error();
  FileWriter writer(fd);
  // Set before anything is written: the umask may have narrowed the mode, and a file that
  // existed keeps its old mode through O_TRUNC.
  if (mode) {
    if (auto set = set_access(file, kind); !set) return std::move(set).error();
  }
  return writer;
}

FileWriter::~FileWriter() {
  if (native_ != INVALID) ::close(static_cast<int>(native_));
}

Status FileWriter::write(std::string_view bytes) { return write_all(static_cast<int>(native_), bytes); }

Status FileWriter::close() {
  Fd fd(static_cast<int>(native_));
  native_ = INVALID;
  return fd.close();
}

Status write_file(const Path& file, std::string_view bytes) {
  auto writer = FileWriter::create(file);
  if (!writer) return std::move(writer).error();
  if (auto written = writer->write(bytes); !written) return written;
  return writer->close();
}

Status append_file_shared(const Path& file, std::string_view bytes) {
  Fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0640));
  if (fd.get() >= 0) {
    // The log is written whether or not its group could be set.
    (void)set_access(file, Access::Log);
  } else if (errno == EEXIST) {
    Fd existing(::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    if (existing.get() < 0) return last_os_error();
    if (auto written = write_all(existing.get(), bytes); !written) return written;
    return existing.close();
  }
  if (fd.get() < 0) return last_os_error();
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  return fd.close();
}

Result<std::string> read_file(const Path& file) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return last_os_error();
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

bool exists(const Path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::uint64_t> file_size(const Path& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool is_regular_file(const Path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status remove_all(const Path& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) return from_error_code(ec);
  return {};
}

Status copy_file(const Path& from, const Path& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return from_error_code(ec);
  return {};
}

Status rename_replace(const Path& from, const Path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

Status rename_replace_retrying(const Path& from, const Path& to) { return rename_replace(from, to); }

Status make_writable(const Path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return last_os_error();
  if ((st.st_mode & S_IWUSR) == 0 && ::chmod(file.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
    return last_os_error();
  }
  return {};
}

Status write_restricted_file(const Path& file, std::string_view bytes) {
  const Path dir = file.has_parent_path() ? file.parent_path() : Path(".");
  struct stat dir_stat {};
  if (::stat(dir.c_str(), &dir_stat) != 0) return last_os_error();
  // Created new, never through a link planted at its name: an existing entry (a symbolic link
  // included) is removed, not opened, and one that appears again makes the open fail.
  if (::unlink(file.c_str()) != 0 && errno != ENOENT) return last_os_error();
  Fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return last_os_error();
  // Set on the open file before anything is written: the umask may have narrowed the mode,
  // and the group may be the process's rather than the directory's.
  struct stat file_stat {};
  if (::fstat(fd.get(), &file_stat) != 0) return last_os_error();
  if (file_stat.st_gid != dir_stat.st_gid &&
      ::fchown(fd.get(), static_cast<uid_t>(-1), dir_stat.st_gid) != 0) {
    return last_os_error();
  }
  if (::fchmod(fd.get(), 0640) != 0) return last_os_error();
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  return fd.close();
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
