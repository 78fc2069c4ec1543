#pragma once

#include <cstdint>
#include <string_view>

namespace tavrel {

inline constexpr std::string_view SERVICE_VERSION = "1.1.1";
inline constexpr std::uint32_t PROTOCOL_VERSION = 2;

}  // namespace tavrel
