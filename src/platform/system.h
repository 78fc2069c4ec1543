// Process-wide facts: randomness and the process id.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavrel::platform {

// Fills `out` from the platform's cryptographically secure generator. It cannot fail.
void secure_random(void* out, std::size_t size);

std::uint32_t current_process_id();

}  // namespace tavrel::platform
