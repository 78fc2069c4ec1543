#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

Response with(void (*fill)(Response&)) {
  Response r;
  fill(r);
  return r;
}

TEST(EncodeResponse, WritesTheExactCompactLine) {
  struct Case {
    Response response;
    std::string line;
  };
  const std::vector<Case> cases = {
      {with([](Response& r) { r.ok = true; }), "{\"ok\":true}\n"},
      {Response{}, "{\"ok\":false}\n"},
      {Response::failure("token 不匹配"), "{\"ok\":false,\"error\":\"token 不匹配\"}\n"},
      {Response::failure("读取请求超时"), "{\"ok\":false,\"error\":\"读取请求超时\"}\n"},
      {with([](Response& r) {
         r.ok = true;
         r.error = "e";
         r.version = "1.1.1";
         r.protocol = 2;
         r.singbox_version = "sing-box version 1.9.0";
         r.running = true;
         r.pid = 4321;
         r.uptime_secs = 60;
         r.log_path = "C:\\Program Files\\Tavrel\\service\\core.log";
       }),
       "{\"ok\":true,\"error\":\"e\",\"version\":\"1.1.1\",\"protocol\":2,\"singbox_version\":"
       "\"sing-box version "
       "1.9.0\",\"running\":true,\"pid\":4321,\"uptime_secs\":60,\"log_path\":\"C:\\\\Program "
       "Files\\\\Tavrel\\\\service\\\\core.log\"}\n"},
      {with([](Response& r) {
         r.ok = true;
         r.running = false;
       }),
       "{\"ok\":true,\"running\":false}\n"},
      {with([](Response& r) {
         r.ok = true;
         r.running = false;
         r.exit_code = 3221225477u;
         r.log_path = "l";
       }),
       "{\"ok\":true,\"running\":false,\"exit_code\":3221225477,\"log_path\":\"l\"}\n"},
      {with([](Response& r) {
         r.ok = true;
         r.running = true;
         r.pid = 0;
         r.uptime_secs = 18446744073709551615u;
       }),
       "{\"ok\":true,\"running\":true,\"pid\":0,\"uptime_secs\":18446744073709551615}\n"},
      {with([](Response& r) {
         r.pid = 4294967295u;
         r.protocol = 0;
       }),
       "{\"ok\":false,\"protocol\":0,\"pid\":4294967295}\n"},
      {with([](Response& r) {
         r.ok = true;
         r.version = "";
         r.singbox_version = "";
       }),
       "{\"ok\":true,\"version\":\"\",\"singbox_version\":\"\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(encode_response(c.response), c.line);
  }
}

TEST(EncodeResponse, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string text;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"\"\\", R"(\"\\)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\0\x01\x0B\x0E\x1A\x1F", 6), R"(\u0000\u0001\u000b\u000e\u001a\u001f)"},
      {"/ \x7F", "/ \x7F"},
      {"配置校验失败：\xE2\x80\xA8 \xF0\x9F\x98\x80",
       "配置校验失败：\xE2\x80\xA8 \xF0\x9F\x98\x80"},
      {"请求格式错误: line 1\r\n", R"(请求格式错误: line 1\r\n)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(encode_response(Response::failure(c.text)),
              "{\"ok\":false,\"error\":\"" + c.written + "\"}\n");
  }
}

TEST(EncodeResponse, FailureDescriptionsOfTheDecoderMakeOneValidLine) {
  // A fault description quotes text from the request; the line must stay one line of JSON.
  const auto result =
      decode_envelope("{\"token\":\"a\",\"req\":{\"cmd\":\"x\\n\\u0001\\\"\\\\y\"}}");
  ASSERT_FALSE(result.ok());
  const std::string line =
      encode_response(Response::failure("请求格式错误: " + result.error().message()));
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  const auto parsed = nlohmann::json::parse(line);
  EXPECT_EQ(parsed.at("error"), "请求格式错误: " + result.error().message());
}

// The client reads back what the service wrote, skips keys it does not know (a newer
// service may add some) and refuses a known key of the wrong type.
TEST(DecodeResponse, ReadsTheEncodersLinesAndSkipsUnknownKeys) {
  Response full;
  full.ok = true;
  full.version = "1.1.1";
  full.protocol = 2;
  full.singbox_version = "1.11.4";
  full.running = true;
  full.pid = 4294967295u;
  full.uptime_secs = 18446744073709551615u;
  full.log_path = "C:\\服务\\core.log";
  Response exited;
  exited.ok = true;
  exited.running = false;
  exited.exit_code = 137;
  for (const Response& r : {full, exited, Response::failure("token 不匹配"), Response{}}) {
    const auto decoded = decode_response(encode_response(r));
    ASSERT_TRUE(decoded) << decoded.error().chain();
    EXPECT_EQ(decoded.value(), r);
  }
  const auto extended = decode_response(R"({"later":{"x":[1]},"ok":true,"running":null,"pid":7})");
  ASSERT_TRUE(extended) << extended.error().chain();
  EXPECT_TRUE(extended->ok);
  EXPECT_EQ(extended->running, std::nullopt);
  EXPECT_EQ(extended->pid, 7u);

  for (const std::string_view bad : {R"({"running":true})", R"({"ok":"true"})", R"({"ok":true,"pid":-1})",
                                     R"({"ok":true,"pid":4294967296})", R"({"ok":true,"error":5})", "[true]",
                                     R"({"ok":true)"}) {
    EXPECT_FALSE(decode_response(bad)) << bad;
  }
}

}  // namespace
}  // namespace tavrel::protocol
