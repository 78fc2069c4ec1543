// What the system tells about another running process: figures for tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/process.h"

namespace tavrel::platform {

// The largest resident memory the process has had so far, in bytes (Linux: VmHWM; Windows:
// the peak working set). Nothing where the system does not tell.
std::optional<std::uint64_t> peak_memory_bytes(const Process& process);

// How many sockets the process has open. Nothing where the system does not tell (Windows).
std::optional<std::size_t> open_socket_count(const Process& process);

}  // namespace tavrel::platform
