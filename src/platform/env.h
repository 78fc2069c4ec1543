// Environment variables.
#pragma once

#include <optional>
#include <string_view>

#include "platform/paths.h"

namespace tavrel::platform {

// The value of an environment variable as a native path. A value that is not valid Unicode
// (an unpaired UTF-16 surrogate on Windows, invalid UTF-8 on POSIX) counts as absent.
std::optional<Path> env_path(std::string_view name);

// Setting and removing variables of this process; `value` is UTF-8.
void set_env(std::string_view name, std::string_view value);
void unset_env(std::string_view name);
// Gives a variable a value that is not valid Unicode (used to check that it counts as absent).
void set_env_invalid_unicode(std::string_view name);

}  // namespace tavrel::platform
