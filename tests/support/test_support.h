// Helpers shared by the tests of every area.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/paths.h"

namespace tavrel::testing {

// A fresh directory under the system's temporary directory, removed with everything in it
// when the object goes away. `name` becomes part of the directory name (it may hold spaces
// and Chinese characters to exercise Unicode paths).
class TempDir {
 public:
  explicit TempDir(std::string_view name = "tavrel test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const platform::Path& path() const { return path_; }

 private:
  platform::Path path_;
};

// A program built beside the test programs (the stand-in core "fake-core", the stand-in
// "fake-sc"), with the platform's executable suffix.
platform::Path helper_program(std::string_view base_name);

// The built program itself (tavrel-service, with the platform's suffix), one directory above
// the test programs.
platform::Path service_program();

// Whether the process with this id has ended (POSIX: also when only its zombie is left, as an
// orphan's zombie may linger where nothing reaps it).
bool process_has_ended(std::uint32_t pid);

// Ends this one process at once (Windows: TerminateProcess, exit code 1; POSIX: SIGKILL), not
// its tree: a test's stand-in for a crash. Whether the system took the request.
bool kill_process(std::uint32_t pid);

// The process of a running service as the service manager reports it (Windows only); nothing
// when it is not running or there is no service manager.
std::optional<std::uint32_t> service_process_id(std::string_view service_name);

// Reads a whole file ("" when it cannot be read).
std::string read_file(const platform::Path& file);

}  // namespace tavrel::testing
