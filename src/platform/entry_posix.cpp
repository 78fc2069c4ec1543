#include "common/text.h"
#include "platform/console.h"
#include "platform/entry.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    if (!tavrel::text::is_valid_utf8(argv[i])) {
      tavrel::platform::write_stderr("错误：命令行参数不是合法的 Unicode 文本\n");
      return tavrel::tavrel_invalid_arguments_exit();
    }
    args.emplace_back(argv[i]);
  }
  return tavrel::tavrel_main(std::move(args));
}
