#include "files/service_log.h"

#include <string>

#include "files/service_dir.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/fs.h"

namespace tavrel::files {

void log_line(std::string_view message) {
  std::string line = platform::local_timestamp();
  line += ' ';
  line += message;
  line += '\n';
  platform::write_stdout(line);
  // Best effort: a missing directory or a refused open loses the line.
  (void)platform::append_file_shared(platform::join(service_dir(), SERVICE_LOG_FILE), line);
}

}  // namespace tavrel::files
