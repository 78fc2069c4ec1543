// Screens a start's configuration before anything is written: the core runs it with the
// service's privileges, and the configuration comes from an unprivileged caller.
//
// Keys are compared the way the core's decoder matches them to its fields: ASCII letters in
// either case, U+212A KELVIN SIGN as k and U+017F LATIN SMALL LETTER LONG S as s. Messages
// show keys as the request wrote them.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "common/command_error.h"

namespace tavrel::core {

// Drops every member folding to "output" from every top-level member folding to "log" whose
// value is an object, so the core logs where the service says and never to a file the caller
// chose. Anything else is left as it is.
void remove_log_output(nlohmann::json& config);

// Walks the configuration depth first in key order and refuses at the first member that is
// forbidden outright (it would start a program, fetch files into place or change the system),
// or that names a location (a string, or strings in a list; a plugin's certificate inside its
// options string) other than a plain relative path inside the core's working directory that
// names no device. A "path" that the core takes as the path of a URL is not a location.
Status check_config_paths(const nlohmann::json& config);

}  // namespace tavrel::core
