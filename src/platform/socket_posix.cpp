#include <fcntl.h>

#include "platform/socket.h"

namespace tavrel::platform {

void make_socket_uninheritable(std::uint64_t native_socket) {
  const int fd = static_cast<int>(native_socket);
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace tavrel::platform
