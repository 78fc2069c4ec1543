#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "protocol/protocol.h"

namespace tavrel::protocol {
namespace {

using json = nlohmann::json;

Request start(json config, std::vector<RuleSetFile> rulesets = {}) {
  return Request{Request::Start{std::move(config), std::move(rulesets)}};
}
Request wake(std::optional<std::int64_t> at) { return Request{Request::ScheduleWake{at}}; }

std::string describe(const Result<Envelope>& result) {
  return result.ok() ? "decoded" : result.error().message();
}

struct Accepted {
  std::string line;
  Envelope expected;
};

TEST(DecodeEnvelope, AcceptsEveryKindInObjectAndArrayForms) {
  const std::vector<Accepted> cases = {
      {"{\"token\":\"t0k\",\"req\":{\"cmd\":\"version\"}}\n", {"t0k", {Request::Version{}}}},
      {"{\"token\":\"t0k\",\"req\":{\"cmd\":\"status\"}}\r\n", {"t0k", {Request::Status{}}}},
      {R"({"token":"t0k","req":{"cmd":"stop"}})", {"t0k", {Request::Stop{}}}},
      {R"({"req":{"cmd":"status","x":1},"token":"t0k","y":[]})", {"t0k", {Request::Status{}}}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake"}})", {"t0k", wake(std::nullopt)}},
      {R"({"token":"t0k","req":{"at":0,"cmd":"schedule_wake"}})", {"t0k", wake(0)}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":null}})", {"t0k", wake(std::nullopt)}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":-1}})", {"t0k", wake(-1)}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":-0}})", {"t0k", wake(0)}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":9223372036854775807}})",
       {"t0k", wake(INT64_MAX)}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":-9223372036854775808}})",
       {"t0k", wake(INT64_MIN)}},
      {R"({"token":"t0k","req":{"cmd":"start","config":{"log":{"level":"info"}},"rulesets":[{"name":"geoip-cn.srs","data_b64":"AAEC"}]}})",
       {"t0k", start({{"log", {{"level", "info"}}}}, {{"geoip-cn.srs", "AAEC"}})}},
      {R"({"token":"t0k","req":{"cmd":"start","config":{}}})", {"t0k", start(json::object())}},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":[]}})",
       {"t0k", start(json::object())}},
      {R"({"token":"t0k","req":{"cmd":"start","config":null}})", {"t0k", start(nullptr)}},
      // `cmd` last: the keys before it are judged by the kind it names.
      {R"({"token":"t0k","req":{"config":[1],"rulesets":[["a","QQ=="]],"cmd":"start"}})",
       {"t0k", start(json::array({1}), {{"a", "QQ=="}})}},
      {R"({"token":"t0k","req":{"cmd":"start","config":1,"rulesets":[{"data_b64":"QQ==","x":[1],"x":2,"name":"a"}]}})",
       {"t0k", start(1, {{"a", "QQ=="}})}},
      // Keys a kind does not know are skipped, however often and whatever their value.
      {R"({"token":"t0k","x":1,"x":{},"req":{"cmd":"version","y":1,"y":2}})",
       {"t0k", {Request::Version{}}}},
      {R"({"token":"t0k","req":{"config":1,"config":2,"rulesets":null,"at":"x","at":1.5,"cmd":"status"}})",
       {"t0k", {Request::Status{}}}},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","config":null,"rulesets":7,"at":5}})",
       {"t0k", wake(5)}},
      // Keys are compared after their escapes are decoded.
      {R"({"t\u006fken":"t0k","req":{"\u0063md":"st\u006fp"}})", {"t0k", {Request::Stop{}}}},
      {R"({"token":"t\u00e9\ud83d\ude00\n\"\\\/\b\f\r\t\u0000","req":{"cmd":"stop"}})",
       {std::string("t\xC3\xA9\xF0\x9F\x98\x80\n\"\\/\b\f\r\t\0", 16), {Request::Stop{}}}},
      {"{\"token\":\"\xE4\xB8\xAD\xE6\x96\x87\",\"req\":{\"cmd\":\"stop\"}}",
       {"\xE4\xB8\xAD\xE6\x96\x87", {Request::Stop{}}}},
      // Unicode white space around the line, JSON white space between tokens.
      {"\xE3\x80\x80\xC2\x85 \t{ \"token\" :\r\n\"t0k\" , \"req\" : { \"cmd\" : \"stop\" } "
       "}\xE2\x80\xA8\x0B\x0C\r\n",
       {"t0k", {Request::Stop{}}}},
      // Array forms.
      {R"(["t0k",["version"]])", {"t0k", {Request::Version{}}}},
      {R"(["t0k",{"cmd":"status"}])", {"t0k", {Request::Status{}}}},
      {R"({"token":"t0k","req":["stop"]})", {"t0k", {Request::Stop{}}}},
      {R"(["t0k",["start",{"a":1}]])", {"t0k", start({{"a", 1}})}},
      {R"(["t0k",["start",null,[["n","ZA=="],{"name":"m","data_b64":""}]]])",
       {"t0k", start(nullptr, {{"n", "ZA=="}, {"m", ""}})}},
      {R"(["t0k",["schedule_wake"]])", {"t0k", wake(std::nullopt)}},
      {R"(["t0k",["schedule_wake",null]])", {"t0k", wake(std::nullopt)}},
      {R"(["t0k",["schedule_wake",42]])", {"t0k", wake(42)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto result = decode_envelope(c.line);
    ASSERT_TRUE(result.ok()) << describe(result);
    EXPECT_EQ(result.value(), c.expected);
    // The shallow decode accepts the same, leaving a start's body unbuilt.
    Envelope shallow_expected = c.expected;
    if (auto* body = std::get_if<Request::Start>(&shallow_expected.req.kind)) *body = {};
    const auto shallow = decode_envelope_shallow(c.line);
    ASSERT_TRUE(shallow.ok()) << describe(shallow);
    EXPECT_EQ(shallow.value(), shallow_expected);
  }
}

struct Rejected {
  std::string line;
  std::string fault;     // what the description must say
  std::string position;  // "line L, column C"
};

void expect_faults(const std::vector<Rejected>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto result = decode_envelope(c.line);
    ASSERT_FALSE(result.ok());
    const std::string& message = result.error().message();
    EXPECT_NE(message.find(c.fault), std::string::npos) << message;
    EXPECT_NE(message.find(" at " + c.position), std::string::npos) << message;
    const auto shallow = decode_envelope_shallow(c.line);
    ASSERT_FALSE(shallow.ok());
    EXPECT_EQ(shallow.error().message(), message);
  }
}

TEST(DecodeEnvelope, NamesTheFaultAndItsPosition) {
  expect_faults({
      {"", "unexpected end of text", "line 1, column 1"},
      {" \t\r\n", "unexpected end of text", "line 2, column 1"},
      {"{\"token\":\"t0k\",\"req\":{\"cmd\":\"Status\"}}", "unrecognised cmd value \"Status\"",
       "line 1, column 29"},
      {R"({"token":"t0k","req":{"cmd":"start"}})", "missing key \"config\"", "line 1, column 36"},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":null}})",
       "wrong type for \"rulesets\" at line 1, column 60 (expected an array, found null)",
       "line 1, column 60"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":1.5}})", "fraction",
       "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":1e3}})", "exponent",
       "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":9223372036854775808}})",
       "\"at\" out of range", "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":-9223372036854775809}})",
       "\"at\" out of range", "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":99999999999999999999999}})",
       "\"at\" out of range", "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"schedule_wake","at":"1"}})", "wrong type for \"at\"",
       "line 1, column 50"},
      {R"({"token":"t0k","req":{"cmd":"stop"}}{"token":"t0k","req":{"cmd":"stop"}})",
       "unexpected text after the JSON value", "line 1, column 37"},
      {R"({"token":"t0k","req":{"cmd":"stop"}} x)", "unexpected text after the JSON value",
       "line 1, column 38"},
      {R"({"token":123,"req":{"cmd":"stop"}})", "wrong type for \"token\"", "line 1, column 10"},
      {R"("t0k")", "wrong type for the request", "line 1, column 1"},
      {"null", "found null", "line 1, column 1"},
      {"{}", "missing key \"token\"", "line 1, column 2"},
      {R"({"token":"t0k"})", "missing key \"req\"", "line 1, column 15"},
      {R"({"token":"t0k","req":{}})", "missing key \"cmd\"", "line 1, column 23"},
      {R"({"token":"t0k","req":{"cmd":1}})", "wrong type for \"cmd\"", "line 1, column 29"},
      {R"({"token":"t0k","req":"status"})", "wrong type for \"req\"", "line 1, column 22"},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":["a"]}})",
       "wrong type for a rule-set file", "line 1, column 61"},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":[{"name":"a"}]}})",
       "missing key \"data_b64\"", "line 1, column 72"},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":[{"data_b64":""}]}})",
       "missing key \"name\"", "line 1, column 75"},
      {R"({"token":"t0k","req":{"cmd":"start","config":{},"rulesets":[{"name":1,"data_b64":""}]}})",
       "wrong type for \"name\"", "line 1, column 69"},
      // Multi-line text and characters beyond ASCII.
      {"{\n  \"token\": 1\n}", "wrong type for \"token\"", "line 2, column 12"},
      {"{\"x\":\"\xE4\xB8\xAD\xE6\x96\x87\",\"token\":1}", "wrong type for \"token\"",
       "line 1, column 19"},
      {"\xE3\x80\x80{\"token\":1}", "wrong type for \"token\"", "line 1, column 11"},
  });
}

TEST(DecodeEnvelope, UnknownCmdListsTheAcceptedValuesInOrder) {
  const auto result = decode_envelope(R"({"token":"t0k","req":{"cmd":"Status"}})");
  ASSERT_FALSE(result.ok());
  EXPECT_NE(
      result.error().message().find(R"("version", "status", "start", "stop", "schedule_wake")"),
      std::string::npos)
      << result.error().message();
}

TEST(DecodeEnvelope, RepeatedKnownKeysAreFaults) {
  expect_faults({
      {R"({"token":"a","token":"a","req":{"cmd":"stop"}})", "repeated key \"token\"",
       "line 1, column 14"},
      {R"({"token":"a","req":{"cmd":"stop"},"req":{"cmd":"stop"}})", "repeated key \"req\"",
       "line 1, column 35"},
      {R"({"token":"a","req":{"cmd":"stop","cmd":"stop"}})", "repeated key \"cmd\"",
       "line 1, column 34"},
      {R"({"token":"a","req":{"cmd":"start","config":1,"config":2}})", "repeated key \"config\"",
       "line 1, column 46"},
      {R"({"token":"a","req":{"config":1,"config":2,"cmd":"start"}})", "repeated key \"config\"",
       "line 1, column 32"},
      {R"({"token":"a","req":{"cmd":"start","config":1,"rulesets":[],"rulesets":[]}})",
       "repeated key \"rulesets\"", "line 1, column 60"},
      {R"({"token":"a","req":{"cmd":"start","config":1,"rulesets":[{"name":"a","name":"b","data_b64":""}]}})",
       "repeated key \"name\"", "line 1, column 70"},
      {R"({"token":"a","req":{"cmd":"start","config":1,"rulesets":[{"name":"a","data_b64":"","data_b64":""}]}})",
       "repeated key \"data_b64\"", "line 1, column 84"},
      {R"({"token":"a","req":{"cmd":"schedule_wake","at":1,"at":2}})", "repeated key \"at\"",
       "line 1, column 50"},
  });
}

TEST(DecodeEnvelope, ArrayFormsRefuseMissingAndSurplusElements) {
  expect_faults({
      {"[]", "missing \"token\"", "line 1, column 2"},
      {R"(["a"])", "missing \"req\"", "line 1, column 5"},
      {R"(["a",["stop"],1])", "surplus element 3 of the envelope array", "line 1, column 15"},
      {R"([1,["stop"]])", "wrong type for \"token\"", "line 1, column 2"},
      {R"(["a",[]])", "missing \"cmd\"", "line 1, column 7"},
      {R"(["a",[1]])", "wrong type for \"cmd\"", "line 1, column 7"},
      {R"(["a",["start"]])", "missing \"config\"", "line 1, column 14"},
      {R"(["a",["status",1]])", "surplus element 2 of the request array", "line 1, column 16"},
      {R"(["a",["start",{},[],{}]])", "surplus element 4 of the request array",
       "line 1, column 21"},
      {R"(["a",["schedule_wake",null,1]])", "surplus element 3 of the request array",
       "line 1, column 28"},
      {R"(["a",["schedule_wake",2.5]])", "wrong type for \"at\"", "line 1, column 23"},
      {R"(["a",["start",{},null]])", "wrong type for \"rulesets\"", "line 1, column 18"},
      {R"(["a",["start",{},[[]]]])", "missing \"name\"", "line 1, column 20"},
      {R"(["a",["start",{},[["n"]]]])", "missing \"data_b64\"", "line 1, column 23"},
      {R"(["a",["start",{},[["n","d","x"]]]])", "surplus element 3 of a rule-set file array",
       "line 1, column 28"},
      {R"(["a",["start",{},[["n",1]]]])", "wrong type for \"data_b64\"", "line 1, column 24"},
  });
}

TEST(DecodeEnvelope, RefusesWhatStandardJsonRefuses) {
  expect_faults({
      {R"({"token":"a","req":{"cmd":"stop"},})", "unexpected character '}'", "line 1, column 35"},
      {R"(["a",["stop"],])", "unexpected character ']'", "line 1, column 15"},
      {R"({'token':"a"})", "unexpected character '''", "line 1, column 2"},
      {R"({"token":"a",/*c*/"req":{"cmd":"stop"}})", "unexpected character '/'",
       "line 1, column 14"},
      {R"({"token" "a"})", "unexpected character '\"' at line 1, column 10 (expected ':')",
       "line 1, column 10"},
      {R"({"token":"a)", "unexpected end of text in a string", "line 1, column 12"},
      {R"({"token":"a")", "unexpected end of text at line 1, column 13 (expected ',' or '}')",
       "line 1, column 13"},
      {"{\"token\":\"a\tb\"}", "control character U+0009 in a string", "line 1, column 12"},
      {R"({"token":"\x"})", "invalid escape \\'x'", "line 1, column 11"},
      {R"({"token":"\u12G4"})", "invalid \\u escape", "line 1, column 15"},
      {R"({"token":"\ud800"})", "unpaired surrogate \\ud800", "line 1, column 11"},
      {R"({"token":"\udc00\ud800"})", "unpaired surrogate \\udc00", "line 1, column 11"},
      {R"({"token":"\ud800\u0041"})", "unpaired surrogate \\ud800", "line 1, column 11"},
      {R"({"token":"\ud800\n"})", "unpaired surrogate \\ud800", "line 1, column 11"},
      {R"({"x":01})", "unexpected character '1'", "line 1, column 7"},
      {R"({"x":-})", "unexpected character '}' at line 1, column 7 (expected a digit)",
       "line 1, column 7"},
      {R"({"x":1.})", "expected a digit", "line 1, column 8"},
      {R"({"x":1e})", "expected a digit", "line 1, column 8"},
      {R"({"x":+1})", "unexpected character '+'", "line 1, column 6"},
      {R"({"x":tru})", "invalid literal", "line 1, column 6"},
      {R"({"x":nul)", "unexpected end of text", "line 1, column 9"},
      {R"({"x":NaN})", "unexpected character 'N'", "line 1, column 6"},
      {"\xEF\xBB\xBF{\"token\":\"a\",\"req\":{\"cmd\":\"stop\"}}", "unexpected character U+FEFF",
       "line 1, column 1"},
      {"{\"token\":\xC2\xA0\"a\"}", "unexpected character U+00A0", "line 1, column 10"},
      {R"({"token":"a","req":{"cmd":"start","config":{"n":1e999}}})", "number out of range",
       "line 1, column 49"},
  });
}

TEST(DecodeEnvelope, ReportsTheFirstFaultInTheOrderOfDecoding) {
  expect_faults({
      // The envelope's keys are judged as they come.
      {R"({"token":1,"req":)", "wrong type for \"token\"", "line 1, column 10"},
      {R"({"req":{"cmd":"Status"},"token":5})", "unrecognised cmd value", "line 1, column 15"},
      {R"({"token":"a","req":{"rulesets":null,"cmd":"start","config":{}},"x":tru})",
       "wrong type for \"rulesets\"", "line 1, column 32"},
      {R"({"req":{"cmd":"stop"}})", "missing key \"token\"", "line 1, column 22"},
      // `req` is read whole before its keys are judged.
      {R"({"token":"a","req":{"cmd":"start","rulesets":null,"config":{})", "unexpected end of text",
       "line 1, column 62"},
      // `cmd` is judged before the other keys, then these in the order of the text.
      {R"({"token":"a","req":{"rulesets":null,"cmd":"Start"}})", "unrecognised cmd value",
       "line 1, column 43"},
      {R"({"token":"a","req":{"cmd":"start","config":{},"config":{},"rulesets":null}})",
       "repeated key \"config\"", "line 1, column 47"},
      {R"({"token":"a","req":{"cmd":"start","rulesets":null,"config":{},"config":{}}})",
       "wrong type for \"rulesets\"", "line 1, column 46"},
      {R"({"token":"a","req":{"cmd":"start","rulesets":[{"name":1},{"name":2}],"config":{}}})",
       "wrong type for \"name\"", "line 1, column 55"},
  });
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(DecodeEnvelope, LimitsNestingTo127Levels) {
  // The envelope is level 1, `req` level 2, `config` level 3.
  const auto config = [](std::size_t depth) {
    return R"({"token":"a","req":{"cmd":"start","config":)" + nested(depth) + "}}";
  };
  const auto ok = decode_envelope(config(125));
  ASSERT_TRUE(ok.ok()) << describe(ok);
  const json* deepest = &std::get<Request::Start>(ok->req.kind).config;
  for (int level = 3; level < 127; ++level) deepest = &deepest->at(0);
  EXPECT_EQ(*deepest, json::array());
  expect_faults({{config(126), "nesting too deep", "line 1, column 169"}});

  const auto skipped = [](std::size_t depth) {
    return R"({"token":"a","req":["stop"],"x":)" + nested(depth) + "}";
  };
  EXPECT_TRUE(decode_envelope(skipped(126)).ok());
  expect_faults({{skipped(127), "nesting too deep", "line 1, column 159"}});
  expect_faults({{R"({"token":"a","req":{"cmd":"stop","x":)" + nested(126) + "}}",
                  "nesting too deep", "line 1, column 163"}});
}

TEST(DecodeEnvelope, SurvivesAFullLineOfOpeningBrackets) {
  const std::string flood(MAX_REQUEST_LINE, '[');
  const std::vector<std::string> lines = {
      flood,
      R"({"token":"a","req":{"cmd":"start","config":)" + flood,
      R"({"token":"a","req":{"cmd":"stop","x":)" + flood,
      R"({"token":"a","req":{"x":)" + flood,
      R"({"token":"a","req":{"cmd":"start","config":{},"rulesets":)" + flood,
      R"({"x":)" + flood,
  };
  for (const auto& line : lines) {
    const auto result = decode_envelope(line);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().message().find("nesting too deep"), std::string::npos)
        << result.error().message();
  }
  expect_faults(
      {{std::string(MAX_REQUEST_LINE, '{'), "unexpected character '{'", "line 1, column 2"}});
  std::string objects;
  for (std::size_t i = 0; objects.size() < MAX_REQUEST_LINE; ++i) objects += R"({"a":)";
  const auto result = decode_envelope(R"({"token":"a","req":{"cmd":"start","config":)" + objects);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().message().find("nesting too deep"), std::string::npos);
}

const json& decoded_config(const std::string& config_text) {
  static Result<Envelope> last = CommandError("");
  last = decode_envelope(R"({"token":"a","req":{"cmd":"start","config":)" + config_text + "}}");
  EXPECT_TRUE(last.ok()) << describe(last);
  static const json none;
  return last.ok() ? std::get<Request::Start>(last->req.kind).config : none;
}

TEST(DecodeConfig, ObjectsAreOrderedByKeyBytesAndKeepTheLastRepeatedValue) {
  const json& config = decoded_config(
      R"({"b":1,"\u00e9":0,"a":{"d":[1,{"y":0,"x":1}],"c":null},"A":true,"b":2,"\u0062":3})");
  EXPECT_EQ(config.dump(),
            "{\"A\":true,\"a\":{\"c\":null,\"d\":[1,{\"x\":1,\"y\":0}]},\"b\":3,\"\xC3\xA9\":0}");
}

TEST(DecodeConfig, ClassifiesNumbers) {
  struct Case {
    std::string text;
    json::value_t type;
    json value;
  };
  const std::vector<Case> cases = {
      {"0", json::value_t::number_unsigned, 0u},
      {"-0", json::value_t::number_integer, 0},
      {"42", json::value_t::number_unsigned, 42u},
      {"18446744073709551615", json::value_t::number_unsigned, UINT64_MAX},
      {"18446744073709551616", json::value_t::number_float, 18446744073709551616.0},
      {"-1", json::value_t::number_integer, -1},
      {"-9223372036854775808", json::value_t::number_integer, INT64_MIN},
      {"-9223372036854775809", json::value_t::number_float, -9223372036854775809.0},
      {"1.0", json::value_t::number_float, 1.0},
      {"-0.0", json::value_t::number_float, -0.0},
      {"1e2", json::value_t::number_float, 100.0},
      {"1E-2", json::value_t::number_float, 0.01},
      {"-1.5e+3", json::value_t::number_float, -1500.0},
      {"0.1", json::value_t::number_float, 0.1},
      {"1e-400", json::value_t::number_float, 0.0},
      {"-1e-400", json::value_t::number_float, -0.0},
      {"0.000000000000000000000000000000000000000000000000000000000000001e-300",
       json::value_t::number_float, 0.0},
      {"4.9e-324", json::value_t::number_float, 4.9e-324},
      {"1.7976931348623157e308", json::value_t::number_float, 1.7976931348623157e308},
      {"123456789012345678901234567890", json::value_t::number_float, 1.2345678901234568e29},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json& value = decoded_config(c.text);
    EXPECT_EQ(value.type(), c.type);
    EXPECT_EQ(value, c.value);
  }
  for (const std::string text : {"1e309", "-1e309", "1000000000e300", "1.8e308"}) {
    SCOPED_TRACE(text);
    const auto result =
        decode_envelope(R"({"token":"a","req":{"cmd":"start","config":)" + text + "}}");
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().message().find("number out of range"), std::string::npos);
    EXPECT_FALSE(decode_envelope_shallow(R"({"token":"a","req":{"cmd":"start","config":)" + text + "}}").ok());
  }
}

// A client's check of its file: the decoder's verdict on the same text sent as a start's
// config, and the fault placed in the file itself.
TEST(CheckConfigValue, RefusesWhatTheDecoderRefusesAsAConfig) {
  struct Case {
    std::string text;
    std::string fault;  // empty when it passes
    bool too_deep = false;
  };
  const std::string deepest = std::string(125, '[') + std::string(125, ']');
  const std::vector<Case> cases = {
      {" {\"a\":[1,-0,1e-400,18446744073709551616,\"\\ud83d\\ude00\"]}\r\n", ""},
      {deepest, ""},
      {"[" + deepest + "]", "nesting too deep at line 1, column 126", true},
      {"\xEF\xBB\xBF{}", "unexpected character U+FEFF at line 1, column 1 (expected a value)"},
      {std::string("{}\0", 3), "unexpected text after the JSON value at line 1, column 3"},
      {"{}\n\xC2\xA0", "unexpected text after the JSON value at line 2, column 1"},
      {"{\"a\":\n 1e400}", "number out of range at line 2, column 2 (too large for a double)"},
      {R"({"a":"\ud800"})", "unpaired surrogate \\ud800 in a string at line 1, column 7"},
      {"{\"\xE9\":1}", "invalid UTF-8 at line 1, column 3"},
      {" \n", "unexpected end of text at line 2, column 1 (expected a value)"},
      {"{} {}", "unexpected text after the JSON value at line 1, column 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto fault = check_config_value(c.text);
    EXPECT_EQ(fault ? fault->description.substr(0, c.fault.size()) : "", c.fault);
    EXPECT_EQ(fault && fault->too_deep, c.too_deep);
    const std::string line = R"({"token":"a","req":{"cmd":"start","config":)" + c.text + "}}";
    if (text::is_valid_utf8(line)) {
      EXPECT_EQ(decode_envelope(line).ok(), c.fault.empty());
      EXPECT_EQ(decode_envelope_shallow(line).ok(), c.fault.empty());
    }
  }
}

TEST(DecodeConfig, DecodesStringEscapes) {
  const json& value = decoded_config(
      R"(["\"\\\/\b\f\n\r\t", "\u0000\u001f\u00e9\u4e2d\ud834\udd1e", "raw 中文 ✓"])");
  EXPECT_EQ(value.at(0), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(value.at(1), std::string("\0\x1F\xC3\xA9\xE4\xB8\xAD\xF0\x9D\x84\x9E", 11));
  EXPECT_EQ(value.at(2), "raw 中文 ✓");
}

}  // namespace
}  // namespace tavrel::protocol
