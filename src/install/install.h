// Installing and uninstalling the service through the platform's sc tool.
#pragma once

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::install {

// Copies this program, the core at `singbox` and (when it lies beside the core) wintun.dll
// into the service directory, registers or reconfigures the service and starts it. Prints
// "installed to <dir>" on success.
Status install(const platform::Path& singbox);

// Best effort: stops and deletes the service, removes the service directory, prints
// "uninstalled".
void uninstall();

}  // namespace tavrel::install
