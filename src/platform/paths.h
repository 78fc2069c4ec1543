// Native paths, their joining rule and the program file names of this platform.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/command_error.h"

namespace tavrel::platform {

using Path = std::filesystem::path;

// File names of the installed programs (with ".exe" on Windows).
extern const std::string_view SERVICE_EXE_NAME;  // tavrel-service
extern const std::string_view CORE_EXE_NAME;     // sing-box
extern const std::string_view SC_EXE_NAME;       // sc
// Where the service directory lives when no ProgramFiles variable says otherwise.
extern const std::string_view DEFAULT_PROGRAM_FILES;

// Appends a relative component: a separator is put between the two parts unless the left
// part is empty or already ends in a separator.
Path join(const Path& left, std::string_view right_utf8);

// The path as UTF-8 text; what cannot be shown (an unpaired surrogate, invalid UTF-8)
// becomes U+FFFD.
std::string to_utf8(const Path& path);

Path from_utf8(std::string_view utf8);

// Full path of the running executable.
Result<Path> current_exe();

}  // namespace tavrel::platform
