// Starts a program the way an ordinary program does, without the service's process layer: the
// child stays in its parent's job (Windows) or process group (POSIX), as a helper program that
// a real core starts would.
#pragma once

#include <string>
#include <vector>

#include "platform/paths.h"

bool start_plain_child(const tavrel::platform::Path& program, const std::vector<std::string>& args);
