// Files and directories. Every failure carries the operating system's error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "platform/access.h"
#include "platform/paths.h"

namespace tavrel::platform {

// Creates a directory and every missing parent. An existing directory is no failure; an
// existing file that is not a directory is.
Status create_directories(const Path& dir);

// Creates or truncates the file and writes `bytes` to it.
Status write_file(const Path& file, std::string_view bytes);

// A file created or truncated like write_file's, written in pieces, so that large content
// needs no buffer of its own size. Closed on destruction; close() reports a failed close.
class FileWriter {
 public:
  static Result<FileWriter> create(const Path& file);
  // POSIX: made with the mode (and group) of `kind`. Windows: the file inherits from its
  // directory, which install and the service's start-up give the access of its kind.
  static Result<FileWriter> create(const Path& file, Access kind);
  ~FileWriter();
  FileWriter(FileWriter&& other) noexcept : native_(other.native_) { other.native_ = INVALID; }
  FileWriter& operator=(FileWriter&&) = delete;
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  Status write(std::string_view bytes);
  Status close();

 private:
  using Native = std::intptr_t;
  static constexpr Native INVALID = -1;
  explicit FileWriter(Native native) : native_(native) {}
  Native native_;
};

// Replaces the file by a new one with restricted access and writes `bytes` to it; the access is
// set when the file is created, before any byte is in it, and an existing entry at the name (a
// symbolic link included) is removed, never written through. Windows: the descriptor of
// Access::Token, given to the creation: a protected DACL (nothing inherited) giving SYSTEM and
// Administrators full control and interactive users read, and a medium mandatory label with
// no-read-up (low-integrity processes cannot read it); where the system refuses the label
// there, the DACL alone. POSIX: mode 0640, its group that of the directory holding it. Failing
// to set the access fails the call.
Status write_restricted_file(const Path& file, std::string_view bytes);

// How a file's access is set, as text for diagnostics and tests. Windows: the security
// descriptor's DACL and label in the system's string form; POSIX: "mode 0640 group <gid>".
Result<std::string> file_access_text(const Path& file);

// Opens the file for appending (created when missing, never truncated), with full sharing,
// writes `bytes` at its end and closes it. Never creates a directory. A file it creates is
// made like FileWriter::create's with Access::Log.
Status append_file_shared(const Path& file, std::string_view bytes);

// Reads a whole file.
Result<std::string> read_file(const Path& file);

// True when the attribute query succeeds (something exists at the path, links followed).
bool exists(const Path& path);
// The size in bytes of an existing file; nothing when it cannot be queried.
std::optional<std::uint64_t> file_size(const Path& file);

// True for an existing regular file (not a directory).
bool is_regular_file(const Path& path);

// Removes a file or a directory with everything in it.
Status remove_all(const Path& path);

// Copies contents and attributes, overwriting an existing target.
Status copy_file(const Path& from, const Path& to);

// Lets the file be replaced and written again: clears the read-only attribute (POSIX: adds the
// owner's write permission).
Status make_writable(const Path& file);

// The names of the entries of a directory, in no particular order. The empty path is the
// current directory.
Result<std::vector<Path>> directory_entries(const Path& dir);

// Renames, replacing an existing target file. A directory is renamed only onto a free name.
Status rename_replace(const Path& from, const Path& to);

// rename_replace, tried again for up to RENAME_PATIENCE while the system refuses it because
// another program holds one of the files open (Windows: access denied or a sharing
// violation; a scanner opens new files for a moment, a reader may keep the old one open
// without sharing its deletion). POSIX renames are never refused for that.
inline constexpr int RENAME_PATIENCE_MS = 5000;
Status rename_replace_retrying(const Path& from, const Path& to);

}  // namespace tavrel::platform
