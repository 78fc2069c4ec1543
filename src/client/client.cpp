#include "client/client.h"

#include <asio.hpp>
#include <functional>
#include <thread>

#include "common/text.h"
#include "files/service_dir.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace tavrel::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view UNREACHABLE = "无法连接服务 127.0.0.1:";
constexpr std::string_view TOKEN_UNREADABLE = "无法读取 token 文件 ";
constexpr std::string_view TOKEN_MALFORMED = "内容不是 32 个小写十六进制字符";
constexpr std::string_view NO_ANSWER = "服务没有应答";
constexpr std::string_view BAD_ANSWER = "服务的应答无法解读";
constexpr std::string_view TIMED_OUT = "超时";
constexpr std::string_view CUT_SHORT = "应答不完整";
constexpr std::string_view TOO_LARGE = "请求超过 4 MiB 的上限";
constexpr std::size_t TOKEN_SIZE = 32;
// An answer is one line; an error text can quote a refused configuration value, which comes
// from a request line of at most 4 MiB.
constexpr std::size_t MAX_ANSWER = 2 * protocol::MAX_REQUEST_LINE;

// {"token":"<32>","req":} and the line feed.
constexpr std::size_t ENVELOPE_BYTES = 20 + TOKEN_SIZE;

CommandError cause_of(const asio::error_code& ec) {
  if (ec == asio::error::timed_out) return CommandError(std::string(TIMED_OUT));
  return platform::os_error(ec.value());
}

// One connection on its own event loop; every wait has a limit.
class Connection {
 public:
  asio::error_code connect(std::uint16_t port, std::chrono::milliseconds limit) {
    asio::error_code result = asio::error::would_block;
    socket_.async_connect({asio::ip::address_v4::loopback(), port},
                          [&](asio::error_code ec) { result = ec; });
    if (!run_until(Clock::now() + limit, [&] { return result != asio::error::would_block; })) {
      return asio::error::timed_out;
    }
    return result;
  }

  // Writes `line`, then reads to the end of the stream, all before `deadline`.
  asio::error_code exchange(std::string_view line, Clock::time_point deadline,
                            std::string& answer) {
    std::optional<asio::error_code> written;
    asio::async_write(socket_, asio::buffer(line.data(), line.size()),
                      [&](asio::error_code ec, std::size_t) { written = ec; });
    if (!run_until(deadline, [&] { return written.has_value(); })) return asio::error::timed_out;
    if (*written) return *written;

    std::optional<asio::error_code> read;
    std::vector<char> chunk(16 * 1024);
    std::function<void()> next = [&] {
      socket_.async_read_some(asio::buffer(chunk), [&](asio::error_code ec, std::size_t n) {
        answer.append(chunk.data(), n);
        if (!ec && answer.size() <= MAX_ANSWER) return next();
        read = ec == asio::error::eof ? asio::error_code() : ec ? ec : asio::error::message_size;
      });
    };
    next();
    if (!run_until(deadline, [&] { return read.has_value(); })) return asio::error::timed_out;
    return *read;
  }

 private:
  // Runs the loop until `done` or `deadline`; what is still pending is then cancelled.
  bool run_until(Clock::time_point deadline, const std::function<bool()>& done) {
    io_.restart();
    while (!done() && Clock::now() < deadline) {
      if (io_.run_one_until(deadline) == 0 && io_.stopped()) break;
    }
    if (done()) return true;
    asio::error_code ignored;
    socket_.close(ignored);
    io_.restart();
    io_.run();
    return false;
  }

  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
};

bool is_token(std::string_view text) {
  return text.size() == TOKEN_SIZE &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

Client::Client(Options options)
    : options_(std::move(options)), dir_(options_.dir ? *options_.dir : files::service_dir()) {}

platform::Path Client::token_file() const { return platform::join(dir_, files::TOKEN_FILE); }

Result<std::string> Client::read_token() const {
  const platform::Path file = token_file();
  auto text = platform::read_file(file);
  if (!text)
    return std::move(text).error().context(std::string(TOKEN_UNREADABLE) + platform::to_utf8(file));
  if (!is_token(*text)) {
    return CommandError(std::string(TOKEN_MALFORMED))
        .context(std::string(TOKEN_UNREADABLE) + platform::to_utf8(file));
  }
  return text;
}

Result<Reply> Client::request(std::string_view req) {
  if (!fits_request_line(req)) return CommandError(std::string(TOO_LARGE));
  const auto give_up = Clock::now() + options_.wait;
  bool token_read_again = false;
  for (;;) {
    Connection connection;
    if (const asio::error_code ec = connection.connect(options_.port, options_.connect_timeout);
        ec) {
      const auto now = Clock::now();
      if (now >= give_up) {
        return cause_of(ec).context(std::string(UNREACHABLE) + std::to_string(options_.port));
      }
      std::this_thread::sleep_for(std::min<Clock::duration>(CONNECT_RETRY_PAUSE, give_up - now));
      continue;
    }
    // Read after connecting: a service that listens has written the token of its run.
    if (!token_) {
      auto token = read_token();
      if (!token) return std::move(token).error();
      token_ = std::move(token).value();
    }
    std::string line = R"({"token":)";
    text::append_json_string(line, *token_);
    line += R"(,"req":)";
    line += req;
    line += "}\n";

    std::string answer;
    if (const asio::error_code ec =
            connection.exchange(line, Clock::now() + options_.read_timeout, answer);
        ec) {
      return cause_of(ec).context(std::string(NO_ANSWER));
    }
    const std::size_t feed = answer.find('\n');
    if (feed == std::string::npos)
      return CommandError(std::string(CUT_SHORT)).context(std::string(NO_ANSWER));
    answer.resize(feed + 1);
    auto response = protocol::decode_response(answer);
    if (!response) return std::move(response).error().context(std::string(BAD_ANSWER));
    if (!response->ok && response->error == protocol::TOKEN_MISMATCH && !token_read_again) {
      token_read_again = true;
      token_.reset();
      continue;
    }
    return Reply{std::move(response).value(), std::move(answer)};
  }
}

std::string command_request(std::string_view cmd) {
  std::string req = R"({"cmd":)";
  text::append_json_string(req, cmd);
  return req + "}";
}

std::string start_request(std::string_view config,
                          const std::vector<protocol::RuleSetFile>& rulesets) {
  std::string req = R"({"cmd":"start","config":)";
  req += config;
  req += R"(,"rulesets":[)";
  for (std::size_t i = 0; i < rulesets.size(); ++i) {
    if (i > 0) req += ',';
    req += R"({"name":)";
    text::append_json_string(req, rulesets[i].name);
    req += R"(,"data_b64":)";
    text::append_json_string(req, rulesets[i].data_b64);
    req += '}';
  }
  return req + "]}";
}

bool fits_request_line(std::string_view req) {
  return req.size() + ENVELOPE_BYTES <= protocol::MAX_REQUEST_LINE;
}

}  // namespace tavrel::client
