#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "common/text.h"
#include "platform/console.h"

namespace tavrel::platform {
namespace {

std::mutex& stream_mutex() {
  static std::mutex m;
  return m;
}

void write_fd(int fd, std::string_view bytes) {
  std::lock_guard lock(stream_mutex());
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void write_stdout(std::string_view utf8) { write_fd(STDOUT_FILENO, utf8); }
void write_stderr(std::string_view utf8) { write_fd(STDERR_FILENO, utf8); }

unsigned console_code_page() { return 0; }

std::string decode_console_output(std::string_view bytes, unsigned) {
  return text::utf8_lossy(bytes);
}

}  // namespace tavrel::platform
