// The installed files, replaced as one set: every new file is copied beside its final name
// first, and only then are the installed ones moved aside and the new ones moved in, so that
// the service directory holds the old set or the new one, never a mix.
#pragma once

#include <vector>

#include "common/command_error.h"
#include "platform/paths.h"

namespace tavrel::install {

struct NewFile {
  platform::Path from;
  platform::Path to;
};

// `to` with the extension of its file name replaced by "tmp" (a name without one, or whose
// only dot leads it, gets ".tmp" appended).
platform::Path transient_path(const platform::Path& to);
// Where the installed `to` waits while its replacement goes in: the extension replaced by
// "old". Start-up clears "*.tmp" and leaves these alone.
platform::Path set_aside_path(const platform::Path& to);

// Copies every `from` to transient_path(to). When one fails the copies already made are
// removed, and nothing installed has been touched.
Status copy_beside(const std::vector<NewFile>& files);

// After copy_beside: moves each installed file aside and its copy in. When a move fails,
// what was already moved is put back before the failure is returned.
Status move_in(const std::vector<NewFile>& files);

// After move_in: puts the set-aside files back, and removes the new files that had no
// predecessor, so the directory holds the old set again.
Status put_back(const std::vector<NewFile>& files);

// After the new set has proved itself: removes the set-aside files.
Status drop_set_aside(const std::vector<NewFile>& files);

}  // namespace tavrel::install
