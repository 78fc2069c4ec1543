#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace tavrel::platform {

std::string system_error_text(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

int last_error_code() { return errno; }

CommandError os_error(int code) { return CommandError(system_error_text(code)); }

CommandError last_os_error() { return os_error(last_error_code()); }

}  // namespace tavrel::platform
