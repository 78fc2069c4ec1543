// Operating-system errors as CommandError causes: "<system text> (os error N)".
#pragma once

#include <string>

#include "common/command_error.h"

namespace tavrel::platform {

// The system's message text for `code`, trailing white space trimmed, then " (os error N)".
// On Windows `code` is a Win32 or Winsock error; on POSIX an errno value.
std::string system_error_text(int code);

// The error of the last failed call on this thread (GetLastError or errno).
int last_error_code();

// A CommandError whose only message is the system text of `code`.
CommandError os_error(int code);

// The same for the last failed call on this thread.
CommandError last_os_error();

}  // namespace tavrel::platform
