#include "platform/process.h"

namespace tavrel::platform {

Process::Process(Process&& other) noexcept
    : process_(std::move(other.process_)),
      thread_(std::move(other.thread_)),
      tree_(std::move(other.tree_)),
      pid_(other.pid_),
      exit_code_(other.exit_code_),
      reaped_(other.reaped_) {
  other.pid_ = 0;
  other.exit_code_.reset();
  other.reaped_ = false;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    release_child();
    process_ = std::move(other.process_);
    thread_ = std::move(other.thread_);
    tree_ = std::move(other.tree_);
    pid_ = other.pid_;
    exit_code_ = other.exit_code_;
    reaped_ = other.reaped_;
    other.pid_ = 0;
    other.exit_code_.reset();
    other.reaped_ = false;
  }
  return *this;
}

Process::~Process() { release_child(); }

namespace detail {
namespace {

bool needs_quotes(const std::wstring& arg) {
  return arg.empty() || arg.find_first_of(L" \t\n\v\"") != std::wstring::npos;
}

}  // namespace

std::wstring quote_command_line(const std::wstring& program,
                                const std::vector<std::wstring>& args) {
  // The program name is read up to the next quote without escapes; a path cannot hold one.
  std::wstring line = L"\"" + program + L"\"";
  for (const std::wstring& arg : args) {
    line += L' ';
    if (!needs_quotes(arg)) {
      line += arg;
      continue;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
      std::size_t backslashes = 0;
      while (i < arg.size() && arg[i] == L'\\') {
        ++backslashes;
        ++i;
      }
      if (i == arg.size()) {
        // Doubled, so that the closing quote stays a quote.
        line.append(backslashes * 2, L'\\');
        break;
      }
      if (arg[i] == L'"') {
        line.append(backslashes * 2 + 1, L'\\');
      } else {
        line.append(backslashes, L'\\');
      }
      line += arg[i];
    }
    line += L'"';
  }
  return line;
}

}  // namespace detail
}  // namespace tavrel::platform
