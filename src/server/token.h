// The access token of one server run.
#pragma once

#include <string>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::server {

// 32 lower-case hexadecimal characters from the wall clock, the process id and fresh random keys.
std::string generate_token();

// Writes exactly the token's bytes (no line feed) with restricted access to `file` plus the
// temporary suffix, then renames that onto `file`.
Status write_token_file(const platform::Path& file, const std::string& token);

}  // namespace tavrel::server
