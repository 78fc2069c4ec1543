#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/socket.h"

namespace tavrel::platform {

void make_socket_uninheritable(std::uint64_t native_socket) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(native_socket)), HANDLE_FLAG_INHERIT, 0);
}

int set_listener_address_options(std::uint64_t native_socket) {
  const BOOL on = TRUE;
  if (::setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return ::WSAGetLastError();
  }
  return 0;
}

#if defined(ASIO_HAS_CO_AWAIT)
asio::awaitable<asio::error_code> accept_connection(asio::ip::tcp::acceptor& listener, asio::ip::tcp::socket& socket) {
  auto [ec, accepted] = co_await listener.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
  if (!ec) {
    make_socket_uninheritable(accepted.native_handle());
    socket = std::move(accepted);
  }
  co_return ec;
}
#endif

Sent send_now(std::uint64_t native_socket, const char* data, std::size_t size) {
  // A socket of the event loop's accept blocks by default; this send must not.
  u_long on = 1;
  if (::ioctlsocket(static_cast<SOCKET>(native_socket), FIONBIO, &on) != 0) return {0, ::WSAGetLastError()};
  const int n = ::send(static_cast<SOCKET>(native_socket), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (n >= 0) return {static_cast<std::size_t>(n), 0};
  const int error = ::WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {};
  return {0, error};
}

}  // namespace tavrel::platform
