// The `run` command: the process becomes the service TavrelService (or a console server).
#pragma once

#include <string_view>

namespace tavrel::service {

inline constexpr std::string_view SERVICE_NAME = "TavrelService";

// Returns once the service has stopped or the console server has ended.
void run_command();

}  // namespace tavrel::service
