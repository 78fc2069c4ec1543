// Functions of system DLLs that are not KnownDLLs (internal to the platform layer's Windows
// files). Imported at load time, such a DLL is looked for beside the program first, where a
// planted copy would run inside the service; these are loaded from the system directory only.
#pragma once

#include <windows.h>

namespace tavrel::platform {

// `name` from `dll` loaded with LOAD_LIBRARY_SEARCH_SYSTEM32, or nullptr (the DLL stays loaded
// for the life of the process).
FARPROC system_function(const wchar_t* dll, const char* name);

// The same as a function pointer of type `Fn`, looked up once.
template <class Fn>
Fn system_function_as(const wchar_t* dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(system_function(dll, name)));
}

}  // namespace tavrel::platform
