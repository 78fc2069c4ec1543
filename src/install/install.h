// Installing and uninstalling the service through the platform's sc tool.
#pragma once

#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::install {

inline constexpr std::string_view SERVICE_NAME = "TavrelService";
inline constexpr std::string_view DISPLAY_NAME = "Tavrel Service";
inline constexpr std::string_view DESCRIPTION = "Tavrel TUN helper (runs sing-box as SYSTEM)";
inline constexpr std::string_view WINTUN_FILE = "wintun.dll";

// Copies this program, the core at `singbox` and (when it lies beside the core) wintun.dll
// into the service directory, registers or reconfigures the service and starts it. Prints
// "installed to <dir>" on success; on failure the steps already done stay done.
Status install(const platform::Path& singbox);

// Best effort: stops and deletes the service, removes the service directory, prints
// "uninstalled".
void uninstall();

}  // namespace tavrel::install
