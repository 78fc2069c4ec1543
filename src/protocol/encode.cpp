#include <charconv>

#include "common/text.h"
#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

void append_key(std::string& out, std::string_view key) {
  out += ",\"";
  out += key;
  out += "\":";
}

void append_field(std::string& out, std::string_view key, const std::optional<std::string>& value) {
  if (!value) return;
  append_key(out, key);
  text::append_json_string(out, *value);
}

void append_field(std::string& out, std::string_view key, std::optional<std::uint64_t> value) {
  if (!value) return;
  append_key(out, key);
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, *value).ptr;
  out.append(digits, end);
}

void append_field(std::string& out, std::string_view key, std::optional<bool> value) {
  if (!value) return;
  append_key(out, key);
  out += *value ? "true" : "false";
}

}  // namespace

Response Response::failure(std::string message) {
  Response response;
  response.error = std::move(message);
  return response;
}

std::string encode_response(const Response& r) {
  std::string out;
  out.reserve(128 + (r.error ? r.error->size() : 0) + (r.log_path ? r.log_path->size() : 0));
  out += r.ok ? "{\"ok\":true" : "{\"ok\":false";
  append_field(out, "error", r.error);
  append_field(out, "version", r.version);
  append_field(out, "protocol",
               r.protocol ? std::optional<std::uint64_t>(*r.protocol) : std::nullopt);
  append_field(out, "singbox_version", r.singbox_version);
  append_field(out, "running", r.running);
  append_field(out, "exit_code",
               r.exit_code ? std::optional<std::uint64_t>(*r.exit_code) : std::nullopt);
  append_field(out, "pid", r.pid ? std::optional<std::uint64_t>(*r.pid) : std::nullopt);
  append_field(out, "uptime_secs", r.uptime_secs);
  append_field(out, "log_path", r.log_path);
  out += "}\n";
  return out;
}

}  // namespace tavrel::protocol
