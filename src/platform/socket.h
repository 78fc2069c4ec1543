// Socket handles that no child process may inherit.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>
#include <cstddef>
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

// Waits for one connection on the non-blocking `listener` and takes it into `socket`, which
// no child can inherit. On POSIX accept4 sets its flags (non-blocking, close-on-exec) in the
// accepting call itself, two calls fewer than the event loop's accept and a flag after it; on
// Windows the event loop's own accept stays, with the flag set after it.
// (Only where Asio has coroutines: the fuzz build's compiler lacks them and needs no accept.)
#if defined(ASIO_HAS_CO_AWAIT)
asio::awaitable<asio::error_code> accept_connection(asio::ip::tcp::acceptor& listener, asio::ip::tcp::socket& socket);
#endif

// What `send_now` managed: bytes sent, or a would-block (0 bytes, no error), or an error.
struct Sent {
  std::size_t bytes = 0;
  int error = 0;
};

// Sends what the connected socket takes at once, never waiting.
Sent send_now(std::uint64_t native_socket, const char* data, std::size_t size);

}  // namespace tavrel::platform
