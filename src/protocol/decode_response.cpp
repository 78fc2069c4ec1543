// The client's reading of a response line. The service writes the line, so the strictness
// of the request decoder is not needed here; nlohmann's parser is enough.
#include <limits>

#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

using json = nlohmann::json;

CommandError wrong_type(std::string_view key, std::string_view expected) {
  return CommandError("\"" + std::string(key) + "\" is not " + std::string(expected));
}

// Each reader leaves the field absent for a missing key or null, and fails on another type.
Status read_text(const json& object, std::string_view key, std::optional<std::string>& field) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_string()) return wrong_type(key, "a string");
  field = it->get<std::string>();
  return {};
}

Status read_flag(const json& object, std::string_view key, std::optional<bool>& field) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_boolean()) return wrong_type(key, "true or false");
  field = it->get<bool>();
  return {};
}

template <class Unsigned>
Status read_number(const json& object, std::string_view key, std::optional<Unsigned>& field) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_number_unsigned() ||
      it->get<std::uint64_t>() > std::numeric_limits<Unsigned>::max()) {
    return wrong_type(key, "an unsigned integer in range");
  }
  field = static_cast<Unsigned>(it->get<std::uint64_t>());
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
       {read_text(value, "error", response.error), read_text(value, "version", response.version),
        read_number(value, "protocol", response.protocol),
        read_text(value, "singbox_version", response.singbox_version),
        read_flag(value, "running", response.running), read_number(value, "pid", response.pid),
        read_number(value, "uptime_secs", response.uptime_secs),
        read_text(value, "log_path", response.log_path)}) {
    if (!read) return std::move(read).error();
  }
  return response;
}

}  // namespace tavrel::protocol
