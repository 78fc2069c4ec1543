// Placing one file of the install: copied beside its final name first, then moved over it.
#pragma once

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::install {

// `to` with the extension of its file name replaced by "tmp" (a name without one, or whose
// only dot leads it, gets ".tmp" appended).
platform::Path transient_path(const platform::Path& to);

// Copies `from` to transient_path(to), then renames that over `to`. Nothing is cleaned up on
// failure: after a failed rename the transient copy stays, and the next install overwrites it.
Status copy_replace(const platform::Path& from, const platform::Path& to);

}  // namespace tavrel::install
