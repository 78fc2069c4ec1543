#include "files/service_log.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "files/service_dir.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/fs.h"

namespace tavrel::files {
namespace {

// Two threads that both see a full log would otherwise both rename, and the second would move
// the first's fresh log over the old one. (Another process can still race; it loses at most
// the older half.)
std::mutex rotation_mutex;
// A rename that stayed refused (a reader holds the log without sharing its deletion) is not
// tried again for a while: each try may wait out the rename's patience.
constexpr auto ROTATION_PAUSE = std::chrono::minutes(1);
std::optional<std::chrono::steady_clock::time_point> rotation_paused_until;

}  // namespace

void append_bounded(const platform::Path& file, const platform::Path& old_file,
                    std::string_view bytes, std::uint64_t limit) {
  {
    std::lock_guard lock(rotation_mutex);
    const auto size = platform::file_size(file);
    const auto now = std::chrono::steady_clock::now();
    if (size && *size > 0 && *size + bytes.size() > limit &&
        (!rotation_paused_until || now >= *rotation_paused_until)) {
      if (platform::rename_replace_retrying(file, old_file)) {
        rotation_paused_until.reset();
      } else {
        rotation_paused_until = std::chrono::steady_clock::now() + ROTATION_PAUSE;
      }
    }
  }
  (void)platform::append_file_shared(file, bytes);
}

void log_line(std::string_view message) {
  std::string line = platform::local_timestamp();
  line += ' ';
  line += message;
  line += '\n';
  platform::write_stdout(line);
  // Best effort: a missing directory or a refused open loses the line.
  const ServiceDir dir = service_dir();
  append_bounded(platform::join(dir, SERVICE_LOG_FILE), platform::join(dir, SERVICE_LOG_OLD_FILE),
                 line, SERVICE_LOG_LIMIT);
}

}  // namespace tavrel::files
