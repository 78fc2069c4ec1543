#include <winsock2.h>
#include <windows.h>

#include "platform/socket.h"

namespace tavrel::platform {

void make_socket_uninheritable(std::uint64_t native_socket) {
  ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(native_socket)), HANDLE_FLAG_INHERIT, 0);
}

void allow_rebind_after_close(std::uint64_t) {}

}  // namespace tavrel::platform
