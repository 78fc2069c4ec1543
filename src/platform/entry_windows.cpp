#include <windows.h>

#include "platform/console.h"
#include "platform/entry.h"
#include "platform/wide_text.h"

// The C runtime splits the command line by its standard rules before wmain is called.
int wmain(int argc, wchar_t** argv) {
  // Before anything loads a DLL: never from the program's own directory (an install runs
  // elevated, often from a download folder), nor from PATH or the current directory.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    if (!tavrel::platform::is_valid_utf16(argv[i])) {
      tavrel::platform::write_stderr("错误：命令行参数不是合法的 Unicode 文本\n");
      return 1;
    }
    args.push_back(tavrel::platform::narrow(argv[i]));
  }
  return tavrel::tavrel_main(std::move(args));
}
