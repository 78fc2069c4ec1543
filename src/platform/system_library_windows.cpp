#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>

#include "platform/system_library.h"

namespace tavrel::platform {

FARPROC system_function(const wchar_t* dll, const char* name) {
  HMODULE module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return ::GetProcAddress(module, name);
}

}  // namespace tavrel::platform

namespace {

using AcceptExFn = decltype(&::AcceptEx);
using GetAcceptExSockaddrsFn = decltype(&::GetAcceptExSockaddrs);

AcceptExFn system_accept_ex() {
  static const AcceptExFn fn =
      tavrel::platform::system_function_as<AcceptExFn>(L"mswsock.dll", "AcceptEx");
  return fn;
}

GetAcceptExSockaddrsFn system_get_accept_ex_sockaddrs() {
  static const GetAcceptExSockaddrsFn fn = tavrel::platform::system_function_as<
      GetAcceptExSockaddrsFn>(L"mswsock.dll", "GetAcceptExSockaddrs");
  return fn;
}

}  // namespace

// Asio calls these two directly; defined here, they keep mswsock.dll out of the import table.
extern "C" BOOL WINAPI AcceptEx(SOCKET listen_socket, SOCKET accept_socket, PVOID output,
                                DWORD receive_length, DWORD local_length, DWORD remote_length,
                                LPDWORD received, LPOVERLAPPED overlapped) {
  const AcceptExFn fn = system_accept_ex();
  if (fn == nullptr) {
    ::WSASetLastError(WSAEOPNOTSUPP);
    return FALSE;
  }
  return fn(listen_socket, accept_socket, output, receive_length, local_length, remote_length,
            received, overlapped);
}

extern "C" VOID WINAPI GetAcceptExSockaddrs(PVOID output, DWORD receive_length,
                                            DWORD local_length, DWORD remote_length,
                                            sockaddr** local, LPINT local_size, sockaddr** remote,
                                            LPINT remote_size) {
  const GetAcceptExSockaddrsFn fn = system_get_accept_ex_sockaddrs();
  if (fn == nullptr) {
    // Unreachable in practice: only an accept that AcceptEx completed gets here.
    *local = nullptr;
    *remote = nullptr;
    *local_size = 0;
    *remote_size = 0;
    return;
  }
  fn(output, receive_length, local_length, remote_length, local, local_size, remote, remote_size);
}
