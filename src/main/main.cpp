#include <string>
#include <vector>

#include "common/command_error.h"
#include "common/version.h"
#include "files/service_log.h"
#include "install/install.h"
#include "platform/console.h"
#include "platform/entry.h"
#include "service/service.h"

namespace tavrel {
namespace {

constexpr std::string_view USAGE = "用法：tavrel-service install <sing-box 路径>";
constexpr std::string_view UNKNOWN_COMMAND = "未知命令 ";

Status run_command_word(const std::string& word, const std::vector<std::string>& args) {
  if (word == "uninstall") {
    install::uninstall();
    return {};
  }
  if (word == "install") {
    if (args.size() < 3) return CommandError(std::string(USAGE));
    return install::install(platform::from_utf8(args[2]));
  }
  if (word == "version") {
    platform::write_stdout("tavrel-service " + std::string(SERVICE_VERSION) + " (protocol " +
                           std::to_string(PROTOCOL_VERSION) + ")\n");
    return {};
  }
  if (word == "run") {
    service::run_command();
    return {};
  }
  return CommandError(std::string(UNKNOWN_COMMAND) + word);
}

}  // namespace

int tavrel_main(std::vector<std::string> args) {
  const std::string word = args.size() >= 2 ? args[1] : "run";
  auto done = run_command_word(word, args);
  if (done) return 0;
  const std::string chain = done.error().chain();
  platform::write_stderr("错误：" + chain + "\n");
  files::log_line(word + " failed: " + chain);
  return 1;
}

}  // namespace tavrel
