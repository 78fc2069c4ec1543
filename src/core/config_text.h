// The configuration as the core receives it.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::core {

// The text of config.json: two-space indentation, ": " after keys, members in key order,
// {} and [] when empty, doubles in their shortest round-trip form, no final line feed.
std::string config_json_text(const nlohmann::json& config);

// Writes that text to `file` (created or truncated) in pieces, without holding all of it.
Status write_config_json(const platform::Path& file, const nlohmann::json& config);

}  // namespace tavrel::core
