#include "install/copy_replace.h"

#include <string>

#include "platform/fs.h"

namespace tavrel::install {
namespace {

constexpr std::string_view FILE_MISSING = "文件不存在：";
constexpr std::string_view TRANSIENT_EXTENSION = "tmp";

}  // namespace

platform::Path transient_path(const platform::Path& to) {
  platform::Path tmp = to;
  tmp.replace_extension(platform::from_utf8(TRANSIENT_EXTENSION));
  return tmp;
}

Status copy_replace(const platform::Path& from, const platform::Path& to) {
  const std::string from_text = platform::to_utf8(from);
  if (!platform::is_regular_file(from)) return CommandError(std::string(FILE_MISSING) + from_text);
  const platform::Path tmp = transient_path(to);
  if (auto copied = platform::copy_file(from, tmp); !copied) {
    return std::move(copied).error().context("复制 " + from_text + " 失败");
  }
  // A read-only source gives a read-only copy, which the next install could not replace.
  if (auto writable = platform::make_writable(tmp); !writable) {
    return std::move(writable).error().context("复制 " + from_text + " 失败");
  }
  if (auto moved = platform::rename_replace(tmp, to); !moved) {
    return std::move(moved).error().context("安装 " + platform::to_utf8(to) + " 失败");
  }
  return {};
}

}  // namespace tavrel::install
