// Socket handles that no child process may inherit.
#pragma once

#include <cstdint>

namespace tavrel::platform {

// Marks a socket (a SOCKET on Windows, a descriptor on POSIX) as not inheritable.
void make_socket_uninheritable(std::uint64_t native_socket);

}  // namespace tavrel::platform
