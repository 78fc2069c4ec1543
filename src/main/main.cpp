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
constexpr std::string_view HELP_TEXT =
    "用法：tavrel-service [命令]\n"
    "  run                     作为服务 TavrelService 运行；不是由服务管理器启动时在控制台运行\n"
    "  install <sing-box 路径> 把本程序、sing-box 和旁边的 wintun.dll 复制到服务目录，注册并启动服务\n"
    "  uninstall               停止并删除服务，删除服务目录\n"
    "  version                 打印版本\n"
    "  help、--help、-h        打印本说明\n"
    "不带命令时与 run 相同。服务目录：TAVREL_SERVICE_DIR，否则 %ProgramFiles%\\Tavrel\\service。\n";

bool is_help(std::string_view word) { return word == "help" || word == "--help" || word == "-h"; }

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

int tavrel_invalid_arguments_exit() { return 1; }

int tavrel_main(std::vector<std::string> args) {
  const std::string word = args.size() >= 2 ? args[1] : "run";
  if (is_help(word)) {
    platform::write_stdout(HELP_TEXT);
    return 0;
  }
  auto done = run_command_word(word, args);
  if (done) return 0;
  const std::string chain = done.error().chain();
  platform::write_stderr("错误：" + chain + "\n");
  files::log_line(word + " failed: " + chain);
  return 1;
}

}  // namespace tavrel
