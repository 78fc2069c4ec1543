#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

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

#if defined(ASIO_HAS_CO_AWAIT)
asio::awaitable<asio::error_code> accept_connection(asio::ip::tcp::acceptor& listener, asio::ip::tcp::socket& socket) {
  for (;;) {
    const int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    asio::error_code ec;
    if (fd >= 0) {
      socket.assign(asio::ip::tcp::v4(), fd, ec);
      if (ec) ::close(fd);
      co_return ec;
    }
    // A connection reset before it was taken is none pending, as the event loop treats it.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR) {
      co_return asio::error_code(errno, asio::system_category());
    }
    std::tie(ec) = co_await listener.async_wait(asio::ip::tcp::acceptor::wait_read,
                                                asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) co_return ec;
  }
}
#endif

Sent send_now(std::uint64_t native_socket, const char* data, std::size_t size) {
  const ssize_t n = ::send(static_cast<int>(native_socket), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return {static_cast<std::size_t>(n), 0};
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return {};
  return {0, errno};
}

}  // namespace tavrel::platform
