// The access token of one server run.
#pragma once

#include <string>
#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::server {

// 32 lower-case hexadecimal characters from the wall clock, the process id and fresh random keys.
std::string generate_token();

// Files written beside their final name and renamed onto it end in this; start-up removes
// any a crash left behind.
inline constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";

// Writes exactly the token's bytes (no line feed) to `file` + TEMPORARY_SUFFIX with restricted
// access, then renames it onto `file`.
Status write_token_file(const platform::Path& file, const std::string& token);

}  // namespace tavrel::server
