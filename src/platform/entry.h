// The process entry lives in the platform layer (wmain on Windows, main on POSIX); it hands
// the arguments, as UTF-8, to tavrel_main.
#pragma once

#include <string>
#include <vector>

namespace tavrel {

// Defined by the program: argument 0 is the program path. Returns the exit code.
int tavrel_main(std::vector<std::string> args);

// Defined by the program: its exit code when an argument is not valid Unicode, which the entry
// refuses before tavrel_main.
int tavrel_invalid_arguments_exit();

}  // namespace tavrel
