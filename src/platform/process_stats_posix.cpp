#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/process_stats.h"

namespace tavrel::platform {
namespace {

std::filesystem::path proc_dir(const Process& process) { return "/proc/" + std::to_string(process.id()); }

}  // namespace

std::optional<std::uint64_t> peak_memory_bytes(const Process& process) {
  std::ifstream status(proc_dir(process) / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with("VmHWM:")) continue;
    try {
      return std::stoull(line.substr(6)) * 1024;  // given in kB
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> open_socket_count(const Process& process) {
  std::error_code ec;
  std::filesystem::directory_iterator fds(proc_dir(process) / "fd", ec);
  if (ec) return std::nullopt;
  std::size_t count = 0;
  for (const auto& fd : fds) {
    const auto target = std::filesystem::read_symlink(fd.path(), ec);
    if (!ec && target.native().starts_with("socket:")) ++count;
  }
  return count;
}

}  // namespace tavrel::platform
