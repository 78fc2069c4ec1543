#pragma once

#include <cstdint>
#include <string_view>

namespace tavrel {

// SipHash-1-3: one compression round per 8-byte block, three finalisation rounds, 64-bit result.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view message);

}  // namespace tavrel
