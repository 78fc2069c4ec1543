#include <spawn.h>

#include "plain_child.h"

extern char** environ;

bool start_plain_child(const tavrel::platform::Path& program, const std::vector<std::string>& args) {
  std::vector<std::string> storage{program.native()};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
}
