// Socket handles that no child process may inherit.
#pragma once

#include <cstdint>

namespace tavrel::platform {

// Marks a socket (a SOCKET on Windows, a descriptor on POSIX) as not inheritable.
void make_socket_uninheritable(std::uint64_t native_socket);

// Lets a listening socket bind again while connections of an earlier run linger in
// TIME_WAIT. POSIX needs SO_REUSEADDR for that (it still refuses a port another socket
// listens on); on Windows no option is set, since there SO_REUSEADDR would allow taking a
// port away from another program.
void allow_rebind_after_close(std::uint64_t native_socket);

}  // namespace tavrel::platform
