// Who may use each kind of path of the service directory, and the calls that set it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::platform {

enum class Access {
  ServiceDir,   // the directory itself
  PrivateDir,   // work and everything below it, staging, swap, children
  PrivateFile,  // config.json: it holds the outbounds' passwords and keys
  Token,
  Log,      // service.log, core.log and their previous halves
  Program,  // the installed programs and the driver library
};

// The descriptor of each kind in the Windows string form (SDDL), protected from what the
// directories above would pass on. The service directory passes full control for SYSTEM and
// Administrators on to everything made in it, and read access for interactive users to the
// files made directly in it (the logs), not to its subdirectories.
std::string_view access_sddl(Access kind);

// The mode of each kind on POSIX; nothing where the mode is left as it was made. Logs and
// the token also take the group of their directory.
std::optional<unsigned> access_mode(Access kind);

// Gives an existing path the access of its kind, where it has not got it already. Windows:
// the DACL (and the token's label) of access_sddl; what is below a directory inherits from it.
// POSIX: the mode of access_mode.
Status set_access(const Path& path, Access kind);

// Whether a server start-up sets the access of the service directory's files: on Windows only
// when the service manager started the service (a console run leaves ACLs alone); on POSIX,
// where there is no service manager, always.
bool start_up_sets_access();

// Creates `dir` (and missing parents), or takes it as it is when it exists, and gives it
// owner Administrators and the access of Access::ServiceDir (POSIX: left as it is). An
// existing directory whose owner is neither Administrators, SYSTEM nor the user running this
// is left untouched: its owner could replace what runs from it, and the result is the owner's
// name. Code running as this user could already replace the programs it is about to install.
Result<std::optional<std::string>> claim_directory(const Path& dir);

}  // namespace tavrel::platform
