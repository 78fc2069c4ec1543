// Finding a platform tool given by bare file name.
#pragma once

#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::platform {

// The full path of the program `file_name`, looked for in the running program's directory,
// then (Windows) the system directory and the Windows directory, then the directories of
// PATH. The current directory is never searched, nor a relative PATH entry, so a file planted
// where the command happens to run cannot stand in for the tool. Fails with the system's
// "file not found" error when no directory holds it.
Result<Path> find_program(std::string_view file_name);

}  // namespace tavrel::platform
