// Screens a core configuration for paths that could leave the core's working directory.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "common/command_error.h"

namespace tavrel::core {

// Every non-empty string under a member named "path", "output" or "*_path" must be a plain
// relative path: no leading "/" or "\", no "..", no ":". Members are visited depth first in
// key order, and the first refused one is reported.
Status check_config_paths(const nlohmann::json& config);

}  // namespace tavrel::core
