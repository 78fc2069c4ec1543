// tavrel-ctl: the service's control protocol from the command line. Exit codes: 0 success,
// 1 the service answered with a failure, 2 wrong usage or a file refused before sending,
// 3 the service is not reachable or its token cannot be read (for keep: it never was).
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "client/client.h"
#include "client/start_files.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/entry.h"
#include "platform/interrupt.h"

namespace tavrel {
namespace {

using namespace std::chrono_literals;

enum Exit { SUCCESS = 0, REFUSED = 1, USAGE = 2, UNREACHABLE = 3 };

constexpr std::string_view USAGE_TEXT =
    "用法：tavrel-ctl [选项] version | status | stop\n"
    "      tavrel-ctl [选项] start 配置.json [规则集.srs ...]\n"
    "      tavrel-ctl [选项] keep [--every 秒数] [--stop]\n"
    "选项：--dir 目录     服务目录（默认与服务相同：TAVREL_SERVICE_DIR，否则安装目录）\n"
    "      --wait 秒数    服务尚未监听时最多等待这么久\n"
    "      --json         原样打印服务的应答行（keep 无法连接时也打印一行 JSON）\n"
    "      --             其后都不是选项\n"
    "keep 每 30 秒（--every）查询一次状态以保持租约，状态变化时打印一行；Ctrl-C 结束，\n"
    "     带 --stop 时结束前停止核心；从未连上服务时退出码为 3。\n";
constexpr int KEEP_EVERY_DEFAULT = 30;
// The lease runs out after 90 s; a status every 60 s at most keeps it with room to spare.
constexpr int KEEP_EVERY_MAX = 60;
constexpr int WAIT_MAX = 3600;
constexpr auto KEEP_POLL = 100ms;
constexpr std::string_view END_OF_OPTIONS = "--";
constexpr std::string_view TOKEN_FILE_READ = "（读取的 token 文件：";

struct Args {
  std::vector<std::string> words;  // the command and its operands
  std::optional<std::string> dir;
  int wait = 0;
  int every = KEEP_EVERY_DEFAULT;
  bool json = false;
  bool stop = false;
  bool keep_options = false;  // --every or --stop given
};

struct UsageError {
  std::string message;
};

std::optional<int> parse_seconds(std::string_view text, int max) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > max)
    return std::nullopt;
  return value;
}

std::variant<Args, UsageError> parse_args(const std::vector<std::string>& argv) {
  Args args;
  bool options_ended = false;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (options_ended) {
      args.words.push_back(word);
      continue;
    }
    const auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argv.size()) return std::nullopt;
      return argv[++i];
    };
    if (word == END_OF_OPTIONS) {
      options_ended = true;
    } else if (word == "--json") {
      args.json = true;
    } else if (word == "--stop") {
      args.stop = args.keep_options = true;
    } else if (word == "--dir") {
      args.dir = value();
      if (!args.dir) return UsageError{"--dir 缺少目录"};
    } else if (word == "--wait" || word == "--every") {
      const bool every = word == "--every";
      const auto text = value();
      const auto seconds =
          text ? parse_seconds(*text, every ? KEEP_EVERY_MAX : WAIT_MAX) : std::nullopt;
      if (!seconds || (every && *seconds == 0)) {
        return UsageError{word + " 需要一个整数秒数（" +
                          (every ? "1 到 " + std::to_string(KEEP_EVERY_MAX)
                                 : "0 到 " + std::to_string(WAIT_MAX)) +
                          "）"};
      }
      (every ? args.every : args.wait) = *seconds;
      args.keep_options = args.keep_options || every;
    } else if (word.starts_with("--")) {
      return UsageError{"未知选项 " + word};
    } else {
      args.words.push_back(word);
    }
  }
  if (args.words.empty()) return UsageError{"缺少命令"};
  const std::string& command = args.words[0];
  const std::size_t operands = args.words.size() - 1;
  if (command == "start") {
    if (operands == 0) return UsageError{"start 需要一个配置文件"};
  } else if (command == "version" || command == "status" || command == "stop" ||
             command == "keep") {
    if (operands > 0) return UsageError{"多余的参数 " + args.words[1]};
  } else {
    return UsageError{"未知命令 " + command};
  }
  if (args.keep_options && command != "keep") return UsageError{"--every 和 --stop 只用于 keep"};
  return args;
}

void print(std::string_view text) { platform::write_stdout(text); }
void complain(std::string_view text) {
  platform::write_stderr("错误：" + std::string(text) + "\n");
}

std::string log_line_of(const protocol::Response& r) {
  return r.log_path ? "核心日志：" + *r.log_path + "\n" : "";
}

std::string describe(std::string_view command, const protocol::Response& r) {
  if (command == "version") {
    return "服务版本：" + r.version.value_or("?") + "（协议 " +
           std::to_string(r.protocol.value_or(0)) + "）\n" + "核心版本：" +
           r.singbox_version.value_or("未知（无法运行核心）") + "\n" + log_line_of(r);
  }
  if (command == "status") {
    if (!r.running.value_or(false)) {
      const std::string exited =
          r.exit_code ? "（它自己退出了，退出码 " + std::to_string(*r.exit_code) + "）" : "";
      return "核心未运行" + exited + "\n" + log_line_of(r);
    }
    return "核心正在运行：pid " + std::to_string(r.pid.value_or(0)) + "，已运行 " +
           std::to_string(r.uptime_secs.value_or(0)) + " 秒\n" + log_line_of(r);
  }
  if (command == "start") return "核心已启动\n" + log_line_of(r);
  return "核心已停止\n";
}

// The service's error text; a token mismatch names the token file that was read, since a
// wrong --dir shows only there.
std::string refusal(const client::Client& client, const protocol::Response& r) {
  std::string error = r.error.value_or("");
  if (error == protocol::TOKEN_MISMATCH)
    error += std::string(TOKEN_FILE_READ) + platform::to_utf8(client.token_file()) + "）";
  return error;
}

// One request, its answer shown; the exit code.
int show(client::Client& client, std::string_view command, std::string_view req, bool json) {
  auto reply = client.request(req);
  if (!reply) {
    complain(reply.error().chain());
    return UNREACHABLE;
  }
  if (json) {
    print(reply->line);
  } else if (reply->response.ok) {
    print(describe(command, reply->response));
  } else {
    complain(refusal(client, reply->response));
  }
  return reply->response.ok ? SUCCESS : REFUSED;
}

int start(client::Client& client, const Args& args) {
  auto config = client::read_config_file(platform::from_utf8(args.words[1]));
  if (!config) {
    complain(config.error().chain());
    return USAGE;
  }
  std::vector<protocol::RuleSetFile> rulesets;
  for (std::size_t i = 2; i < args.words.size(); ++i) {
    auto file = client::read_ruleset_file(platform::from_utf8(args.words[i]));
    if (!file) {
      complain(file.error().chain());
      return USAGE;
    }
    rulesets.push_back(std::move(file).value());
  }
  const std::string req = client::start_request(*config, rulesets);
  if (!client::fits_request_line(req)) {
    complain("配置和规则集合起来超过了请求的 4 MiB 上限");
    return USAGE;
  }
  return show(client, "start", req, args.json);
}

// What keep last saw; a line is printed whenever it changes.
struct Seen {
  enum class State { Unknown, Unreachable, Stopped, Running } state = State::Unknown;
  std::uint32_t pid = 0;
  std::string failure;
};

int keep(client::Client& client, const Args& args) {
  static StopFlag interrupted;
  platform::raise_on_interrupt(interrupted);
  const std::string status = client::command_request("status");
  Seen seen;
  bool reached = false;
  while (!interrupted.raised()) {
    auto reply = client.request(status);
    reached = reached || static_cast<bool>(reply);
    Seen now;
    std::string line;
    if (!reply || !reply->response.ok) {
      now.state = Seen::State::Unreachable;
      now.failure = reply ? refusal(client, reply->response) : reply.error().chain();
      line = "无法保持租约：" + now.failure + "\n";
    } else if (reply->response.running.value_or(false)) {
      now.state = Seen::State::Running;
      now.pid = reply->response.pid.value_or(0);
      const std::string pid = "，pid " + std::to_string(now.pid) + "\n";
      line = seen.state == Seen::State::Running   ? "核心已换了新进程" + pid
             : seen.state == Seen::State::Stopped ? "核心已启动" + pid
                                                  : "核心正在运行" + pid;
    } else {
      now.state = Seen::State::Stopped;
      line = seen.state == Seen::State::Running ? "核心已停止\n" : "核心未运行\n";
    }
    if (now.state != seen.state || now.pid != seen.pid || now.failure != seen.failure) {
      // With --json every line is JSON: no answer is shown as a failure response of its own.
      print(!args.json ? platform::local_timestamp() + " " + line
            : reply    ? reply->line
                       : protocol::encode_response(protocol::Response::failure(now.failure)));
    }
    seen = std::move(now);
    const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(args.every);
    while (!interrupted.raised() && std::chrono::steady_clock::now() < next)
      std::this_thread::sleep_for(KEEP_POLL);
  }
  if (args.stop) return show(client, "stop", client::command_request("stop"), args.json);
  return reached ? SUCCESS : UNREACHABLE;
}

}  // namespace

// Wrong use, like any other mistake on the command line.
int tavrel_invalid_arguments_exit() { return USAGE; }

int tavrel_main(std::vector<std::string> argv) {
  for (std::size_t i = 1; i < argv.size() && argv[i] != END_OF_OPTIONS; ++i) {
    if (argv[i] == "--help" || argv[i] == "-h") {
      platform::write_stdout(USAGE_TEXT);
      return SUCCESS;
    }
  }
  auto parsed = parse_args(argv);
  if (auto* usage = std::get_if<UsageError>(&parsed)) {
    complain(usage->message);
    platform::write_stderr(USAGE_TEXT);
    return USAGE;
  }
  const Args& args = std::get<Args>(parsed);
  client::Options options;
  if (args.dir) options.dir = platform::from_utf8(*args.dir);
  options.wait = std::chrono::seconds(args.wait);
  client::Client client(options);
  const std::string& command = args.words[0];
  if (command == "start") return start(client, args);
  if (command == "keep") return keep(client, args);
  return show(client, command, client::command_request(command), args.json);
}

}  // namespace tavrel
