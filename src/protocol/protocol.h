// The control protocol: one request line in, one response line out, per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/command_error.h"

namespace tavrel::protocol {

// At most this many bytes of a connection, the line feed included, are taken as the request line.
inline constexpr std::size_t MAX_REQUEST_LINE = 4'194'304;
// The service listens on 127.0.0.1 at this port.
inline constexpr std::uint16_t CONTROL_PORT = 17895;
// The service's answer to a request whose token is not that of its current run.
inline constexpr std::string_view TOKEN_MISMATCH = "token 不匹配";

struct RuleSetFile {
  std::string name;
  std::string data_b64;  // the file's bytes in Base64, not checked here

  bool operator==(const RuleSetFile&) const = default;
};

struct Request {
  struct Version {
    bool operator==(const Version&) const = default;
  };
  struct Status {
    bool operator==(const Status&) const = default;
  };
  struct Start {
    nlohmann::json config;  // objects ordered by key; a repeated key keeps its last value
    std::vector<RuleSetFile> rulesets;

    bool operator==(const Start&) const = default;
  };
  struct Stop {
    bool operator==(const Stop&) const = default;
  };
  struct ScheduleWake {
    std::optional<std::int64_t> at;

    bool operator==(const ScheduleWake&) const = default;
  };

  std::variant<Version, Status, Start, Stop, ScheduleWake> kind;

  bool operator==(const Request&) const = default;
};

struct Envelope {
  std::string token;  // unescaped
  Request req;

  bool operator==(const Envelope&) const = default;
};

struct Response {
  bool ok = false;
  std::optional<std::string> error, version;
  std::optional<std::uint32_t> protocol;
  std::optional<std::string> singbox_version;
  std::optional<bool> running;
  // Status while no core runs: how the last core that ended by itself ended.
  std::optional<std::uint32_t> exit_code;
  std::optional<std::uint32_t> pid;
  std::optional<std::uint64_t> uptime_secs;
  std::optional<std::string> log_path;

  // `ok` false, `error` the message, every other field absent.
  static Response failure(std::string message);

  bool operator==(const Response&) const = default;
};

// Decodes one request line (valid UTF-8; surrounding Unicode white space is ignored). On a
// fault the error's message describes the first fault found, with its line and column.
Result<Envelope> decode_envelope(std::string_view line);

// The same verdict as decode_envelope on every line, but a start request's config is left null
// and its rulesets empty: a start waiting for its turn holds its line, not the decoded value
// (which can take many times the bytes of its text).
Result<Envelope> decode_envelope_shallow(std::string_view line);

// A fault of the JSON value syntax, placed in the text that was checked.
struct JsonFault {
  std::string description;  // as decode_envelope words it, with line and column
  bool too_deep = false;    // arrays and objects nested deeper than the decoder takes
  std::size_t line = 1, column = 1;  // from 1; columns count characters
};

// Checks `text` as decode_envelope checks a start's config: exactly one JSON value, with JSON
// white space around it, of the same syntax, strings, numbers and nesting limit (the value
// itself counted at the config's level). Text that is not UTF-8 is a fault too. So a client
// can refuse, with the place in its own file, what the service would refuse.
std::optional<JsonFault> check_config_value(std::string_view text);

// The compact JSON text of the response followed by one line feed.
std::string encode_response(const Response& response);

// Decodes a response line (the client's side). Keys it does not know are skipped, so a newer
// service can add fields; a known key with a value of the wrong type is a fault.
Result<Response> decode_response(std::string_view line);

}  // namespace tavrel::protocol
