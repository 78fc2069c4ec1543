#include <winsock2.h>
#include <windows.h>

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

}  // namespace tavrel::platform
