#include <cstdlib>
#include <string>

#include "common/text.h"
#include "platform/env.h"

namespace tavrel::platform {

std::optional<Path> env_path(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr || !text::is_valid_utf8(value)) return std::nullopt;
  return Path(std::string(value));
}

void set_env(std::string_view name, std::string_view value) {
  ::setenv(std::string(name).c_str(), std::string(value).c_str(), 1);
}

void unset_env(std::string_view name) { ::unsetenv(std::string(name).c_str()); }

void set_env_invalid_unicode(std::string_view name) {
  ::setenv(std::string(name).c_str(), "/tmp/\xff\xfe", 1);
}

}  // namespace tavrel::platform
