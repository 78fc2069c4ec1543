// The client's reading of a response line. The service writes the line, so the strictness
// of the request decoder is not needed here; nlohmann's parser is enough.
#include <limits>
#include <type_traits>

#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

using json = nlohmann::json;

CommandError wrong_type(std::string_view key, std::string_view expected) {
  return CommandError("\"" + std::string(key) + "\" is not " + std::string(expected));
}

// Leaves the field absent for a missing key or null, and fails on another type (or, for a
// number, one out of the field's range).
template <class T>
Status read_field(const json& object, std::string_view key, std::optional<T>& field) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if constexpr (std::is_same_v<T, std::string>) {
    if (!it->is_string()) return wrong_type(key, "a string");
    field = it->get<std::string>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!it->is_boolean()) return wrong_type(key, "true or false");
    field = it->get<bool>();
  } else {
    if (!it->is_number_unsigned() || it->get<std::uint64_t>() > std::numeric_limits<T>::max()) {
      return wrong_type(key, "an unsigned integer in range");
    }
    field = static_cast<T>(it->get<std::uint64_t>());
  }
  return {};
}

}  // namespace

Result<Response> decode_response(std::string_view line) {
  json value;
  try {
    value = json::parse(line.begin(), line.end());
  } catch (const json::exception& e) {
    return CommandError(e.what());
  }
  if (!value.is_object()) return CommandError("the response is not a JSON object");
  Response response;
  const auto ok = value.find("ok");
  if (ok == value.end() || !ok->is_boolean()) return wrong_type("ok", "true or false");
  response.ok = ok->get<bool>();
  for (Status read :
       {read_field(value, "error", response.error), read_field(value, "version", response.version),
        read_field(value, "protocol", response.protocol),
        read_field(value, "singbox_version", response.singbox_version),
        read_field(value, "running", response.running),
        read_field(value, "exit_code", response.exit_code), read_field(value, "pid", response.pid),
        read_field(value, "uptime_secs", response.uptime_secs),
        read_field(value, "log_path", response.log_path)}) {
    if (!read) return std::move(read).error();
  }
  return response;
}

}  // namespace tavrel::protocol
