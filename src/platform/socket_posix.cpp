#include <fcntl.h>
#include <cerrno>
#include <sys/socket.h>

#include "platform/socket.h"

namespace tavrel::platform {

void make_socket_uninheritable(std::uint64_t native_socket) {
  const int fd = static_cast<int>(native_socket);
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

int set_listener_address_options(std::uint64_t native_socket) {
  const int on = 1;
  if (::setsockopt(static_cast<int>(native_socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return errno;
  return 0;
}

}  // namespace tavrel::platform
