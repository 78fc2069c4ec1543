// What a crash of the service leaves running, and its end at the next start-up.
//
// Windows: every child is in the service's kill-on-close job, which the system ends as the
// service dies, so nothing is recorded and nothing is left. POSIX: the parent-death signal
// reaches only a child itself, not what it started in its process group, so each running
// child's group is recorded in a file of its own in a directory the caller names, and the next
// run ends what is still in it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"
#include "platform/paths.h"

namespace tavrel::platform {

// The record of one running child's tree; removed when its owner lets it go, once the child
// has ended or been ended. Empty when nothing is recorded.
class ChildRecord {
 public:
  ChildRecord() = default;
  // Best effort: a record that cannot be made is left out, and the child runs on without it.
  static ChildRecord add(const Path& records_dir, std::uint32_t pid);

  ~ChildRecord() {
    if (!file_.empty()) (void)platform::remove_all(file_);
  }
  ChildRecord(ChildRecord&& other) noexcept : file_(std::move(other.file_)) { other.file_.clear(); }
  ChildRecord& operator=(ChildRecord&& other) noexcept {
    if (this != &other) {
      ChildRecord gone(std::move(*this));
      file_ = std::move(other.file_);
      other.file_.clear();
    }
    return *this;
  }
  ChildRecord(const ChildRecord&) = delete;
  ChildRecord& operator=(const ChildRecord&) = delete;

 private:
  explicit ChildRecord(Path file) : file_(std::move(file)) {}
  Path file_;
};

// Ends (POSIX: SIGKILL) every process still in a tree recorded in `records_dir` that started no
// earlier than the recorded child, so that an id the system has since given to another
// process never ends a stranger; then removes the records. How many processes it ended.
std::size_t end_recorded_children(const Path& records_dir);

}  // namespace tavrel::platform
