#include "install/file_set.h"

#include <string>

#include "platform/fs.h"

namespace tavrel::install {
namespace {

constexpr std::string_view FILE_MISSING = "文件不存在：";
constexpr std::string_view TRANSIENT_EXTENSION = "tmp";
constexpr std::string_view SET_ASIDE_EXTENSION = "old";

platform::Path with_extension(const platform::Path& to, std::string_view extension) {
  platform::Path path = to;
  path.replace_extension(platform::from_utf8(extension));
  return path;
}

CommandError install_failed(CommandError cause, const platform::Path& to) {
  return std::move(cause).context("安装 " + platform::to_utf8(to) + " 失败");
}

Status remove_if_present(const platform::Path& path) {
  return platform::exists(path) ? platform::remove_all(path) : Status{};
}

// Undoes move_in for one file, reading from the disk how far it got: a transient copy that is
// gone was moved in; an installed file that is gone was moved aside.
Status undo_one(const NewFile& file) {
  const platform::Path tmp = transient_path(file.to);
  const platform::Path old = set_aside_path(file.to);
  if (!platform::exists(tmp)) {
    if (platform::exists(old)) return platform::rename_replace(old, file.to);
    return platform::remove_all(file.to);
  }
  if (!platform::exists(file.to) && platform::exists(old)) {
    if (auto back = platform::rename_replace(old, file.to); !back) return back;
  }
  return platform::remove_all(tmp);
}

// Files [0, count) in reverse; every one is tried, the first failure is returned.
Status undo(const std::vector<NewFile>& files, std::size_t count) {
  Status first;
  for (std::size_t i = count; i-- > 0;) {
    if (auto undone = undo_one(files[i]); !undone && first) {
      first = install_failed(std::move(undone).error(), files[i].to);
    }
  }
  return first;
}

}  // namespace

platform::Path transient_path(const platform::Path& to) {
  return with_extension(to, TRANSIENT_EXTENSION);
}

platform::Path set_aside_path(const platform::Path& to) {
  return with_extension(to, SET_ASIDE_EXTENSION);
}

Status copy_beside(const std::vector<NewFile>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string from_text = platform::to_utf8(files[i].from);
    Status copied = platform::is_regular_file(files[i].from)
                        ? platform::copy_file(files[i].from, transient_path(files[i].to))
                        : Status(CommandError(std::string(FILE_MISSING) + from_text));
    // A read-only source gives a read-only copy, which the next install could not replace.
    if (copied) copied = platform::make_writable(transient_path(files[i].to));
    if (copied) continue;
    // Best effort: a copy left here is cleared by the next start-up of the service.
    for (std::size_t j = 0; j <= i; ++j) (void)remove_if_present(transient_path(files[j].to));
    if (!platform::is_regular_file(files[i].from)) return std::move(copied).error();
    return std::move(copied).error().context("复制 " + from_text + " 失败");
  }
  return {};
}

Status move_in(const std::vector<NewFile>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    const NewFile& file = files[i];
    // A set-aside file left by an earlier install is replaced: what is installed now is
    // what a failure must bring back.
    Status moved = platform::exists(file.to)
                       ? platform::rename_replace(file.to, set_aside_path(file.to))
                       : Status{};
    if (moved) moved = platform::rename_replace(transient_path(file.to), file.to);
    if (moved) continue;
    CommandError failure = install_failed(std::move(moved).error(), file.to);
    // The files after this one still have only their copies beside them.
    for (std::size_t j = i + 1; j < files.size(); ++j) {
      (void)remove_if_present(transient_path(files[j].to));
    }
    if (auto undone = undo(files, i + 1); !undone) {
      return CommandError(failure.chain() + "\n" + undone.error().chain());
    }
    return failure;
  }
  return {};
}

Status put_back(const std::vector<NewFile>& files) { return undo(files, files.size()); }

Status drop_set_aside(const std::vector<NewFile>& files) {
  Status first;
  for (const NewFile& file : files) {
    if (auto removed = remove_if_present(set_aside_path(file.to)); !removed && first) {
      first = std::move(removed).error().context(
          "删除 " + platform::to_utf8(set_aside_path(file.to)) + " 失败");
    }
  }
  return first;
}

}  // namespace tavrel::install
