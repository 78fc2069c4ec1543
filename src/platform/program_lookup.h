// Finding a platform tool given by bare file name.
#pragma once

#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::platform {

// A tool to run and the directory to run it in (empty: the caller's current directory).
struct Tool {
  Path program;
  Path working_dir;
};

// The platform's tool `file_name`.
// Windows: only the one in the system directory, started with that directory as its current
// directory. An install runs elevated, often from a user's download folder: a file planted
// beside the program, in a PATH entry or in the current directory must never stand in for it.
// POSIX (where the tools exist only as test stand-ins): the running program's directory, then
// the absolute directories of PATH; never the current directory.
// Fails with the system's "file not found" error when no directory holds it.
Result<Tool> find_tool(std::string_view file_name);

}  // namespace tavrel::platform
