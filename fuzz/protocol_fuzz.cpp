// decode_envelope on arbitrary request lines. Beyond not crashing: a decoded request written
// back as JSON decodes to the same request, the shallow decode gives the same verdict, and a
// fault description travels as one valid response line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "protocol/protocol.h"

namespace {

using namespace tavrel::protocol;
using json = nlohmann::json;

[[noreturn]] void broken(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

json written(const Request& request) {
  struct Visitor {
    json operator()(const Request::Version&) const { return {{"cmd", "version"}}; }
    json operator()(const Request::Status&) const { return {{"cmd", "status"}}; }
    json operator()(const Request::Stop&) const { return {{"cmd", "stop"}}; }
    json operator()(const Request::ScheduleWake& wake) const {
      json req = {{"cmd", "schedule_wake"}};
      req["at"] = wake.at ? json(*wake.at) : json(nullptr);
      return req;
    }
    json operator()(const Request::Start& start) const {
      json files = json::array();
      for (const auto& file : start.rulesets)
        files.push_back({{"name", file.name}, {"data_b64", file.data_b64}});
      return {{"cmd", "start"}, {"config", start.config}, {"rulesets", files}};
    }
  };
  return std::visit(Visitor{}, request.kind);
}

void check_round_trip(const Envelope& envelope) {
  const std::string again = json{{"token", envelope.token}, {"req", written(envelope.req)}}.dump();
  const auto decoded = decode_envelope(again);
  if (!decoded.ok()) broken("a written request does not decode", decoded.error().message());
  if (!(decoded.value() == envelope)) broken("a written request decodes to another request", again);
  if (const auto* start = std::get_if<Request::Start>(&envelope.req.kind)) {
    const auto& config = std::get<Request::Start>(decoded->req.kind).config;
    if (config.dump() != start->config.dump()) broken("the config is written differently", again);
  }
}

void check_fault(const tavrel::CommandError& error) {
  const std::string& message = error.message();
  if (message.find(" at line ") == std::string::npos)
    broken("a fault without its position", message);
  const std::string line = encode_response(Response::failure(message));
  if (line.find('\n') != line.size() - 1) broken("a response line with a raw line feed", line);
  try {
    const json parsed = json::parse(line);
    if (parsed.at("error") != message || parsed.at("ok") != false || parsed.size() != 2) {
      broken("a response line that reads back differently", line);
    }
  } catch (const json::exception& e) {
    broken(e.what(), line);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  // The connection hands over only valid UTF-8 of at most 4 MiB.
  if (size > MAX_REQUEST_LINE || !tavrel::text::is_valid_utf8(line)) return -1;
  const auto result = decode_envelope(line);
  // A start waits for its turn after a shallow decode: it must judge every line alike.
  const auto shallow = decode_envelope_shallow(line);
  if (shallow.ok() != result.ok() || (!result.ok() && shallow.error().message() != result.error().message())) {
    broken("the shallow decode judges otherwise", line);
  }
  if (result.ok()) {
    check_round_trip(result.value());
  } else {
    check_fault(result.error());
  }
  return 0;
}
