// The application's side of the control protocol: find the service directory, read the
// token, send one request per connection and decode the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_error.h"
#include "platform/paths.h"
#include "protocol/protocol.h"

namespace tavrel::client {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds CONNECT_TIMEOUT = 5s;
// A start may run a 60-s check and a 5-s stop of the old core, behind other starts.
inline constexpr std::chrono::milliseconds READ_TIMEOUT = 150s;
inline constexpr std::chrono::milliseconds CONNECT_RETRY_PAUSE = 200ms;

struct Options {
  std::optional<platform::Path> dir;  // absent: found as the service finds it
  std::uint16_t port = protocol::CONTROL_PORT;
  std::chrono::milliseconds connect_timeout = CONNECT_TIMEOUT;
  std::chrono::milliseconds read_timeout = READ_TIMEOUT;
  // How long to keep trying while nothing listens yet (the service is starting).
  std::chrono::milliseconds wait = 0ms;
};

struct Reply {
  protocol::Response response;
  std::string line;  // as the service sent it, line feed included
};

// One client of one service. It keeps the token between requests and reads it again once
// when the service answers "token 不匹配" (the service has restarted meanwhile). Failures
// mean that no answer was had: the service is not reachable, the token file cannot be read,
// or what came back is no response line.
class Client {
 public:
  explicit Client(Options options = {});

  const platform::Path& dir() const { return dir_; }
  // The token file that requests read.
  platform::Path token_file() const;

  // Sends `req`, the compact JSON text of a request object, and waits for the answer. An
  // answer with `ok` false is a reply, not a failure.
  Result<Reply> request(std::string_view req);

 private:
  Result<std::string> read_token() const;

  Options options_;
  platform::Path dir_;
  std::optional<std::string> token_;
};

// {"cmd":"<cmd>"}
std::string command_request(std::string_view cmd);
// A start request; `config` is the configuration as compact JSON text.
std::string start_request(std::string_view config,
                          const std::vector<protocol::RuleSetFile>& rulesets);
// Whether the request line made of `req` stays within the service's 4 MiB limit.
bool fits_request_line(std::string_view req);

}  // namespace tavrel::client
