// The configuration as the core receives it.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::core {

// config.json never grows past this; a start whose text would be larger is refused.
inline constexpr std::uint64_t CONFIG_JSON_LIMIT = 64ull << 20;
inline constexpr std::string_view CONFIG_TOO_LARGE = "配置过大：config.json 将超过 64 MiB";

// The text of config.json: two-space indentation, ": " after keys, members in key order,
// {} and [] when empty, doubles in their shortest round-trip form, no final line feed.
std::string config_json_text(const nlohmann::json& config);

// The byte length of that text, counted in pieces without holding it. Counting stops soon after
// the length passes `limit`, so a result above `limit` says only "too large": indentation can
// make a 4 MiB request hundreds of megabytes of text.
std::uint64_t config_json_size(const nlohmann::json& config, std::uint64_t limit);

// Writes that text to `file` (created or truncated) in pieces, without holding all of it.
Status write_config_json(const platform::Path& file, const nlohmann::json& config);

}  // namespace tavrel::core
