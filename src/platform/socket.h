// Socket handles that no child process may inherit.
#pragma once

#include <cstdint>

namespace tavrel::platform {

// Marks a socket (a SOCKET on Windows, a descriptor on POSIX) as not inheritable.
void make_socket_uninheritable(std::uint64_t native_socket);

// The address options of the listening socket, set before it binds. POSIX: SO_REUSEADDR, so
// that it binds again while connections of an earlier run linger in TIME_WAIT (POSIX still
// refuses a port another socket listens on). Windows: SO_EXCLUSIVEADDRUSE, so that no other
// program can bind the port beside it with SO_REUSEADDR and take its connections; Windows
// binds again after TIME_WAIT without help.
// The system error code of a failure, or 0.
int set_listener_address_options(std::uint64_t native_socket);

}  // namespace tavrel::platform
