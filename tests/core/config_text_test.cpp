#include "core/config_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>

#include "core/screening.h"
#include "platform/fs.h"
#include "support/test_support.h"

namespace tavrel::core {
namespace {

using nlohmann::json;

struct Removal {
  std::string_view config;
  std::string_view expected;
};

class LogOutputRemoval : public ::testing::TestWithParam<Removal> {};

TEST_P(LogOutputRemoval, TouchesOnlyTopLevelLogObject) {
  json config = json::parse(GetParam().config);
  remove_log_output(config);
  EXPECT_EQ(config, json::parse(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogOutputRemoval,
    ::testing::Values(Removal{R"({"log":{"level":"info","output":"C:\\box.log"},"x":1})",
                              R"({"log":{"level":"info"},"x":1})"},
                      Removal{R"({"log":{"output":{"path":"/x"}}})", R"({"log":{}})"},
                      Removal{R"({"log":"output"})", R"({"log":"output"})"},
                      Removal{R"({"output":"/x","a":{"log":{"output":"/y"}}})",
                              R"({"output":"/x","a":{"log":{"output":"/y"}}})"},
                      Removal{R"([{"log":{"output":"/x"}}])", R"([{"log":{"output":"/x"}}])"},
                      Removal{R"({"x":1})", R"({"x":1})"}, Removal{"null", "null"},
                      // Keys as the core matches them.
                      Removal{R"({"Log":{"Output":"/x","OUTPUT":"/y","level":"info"},"LOG":{"output":1}})",
                              R"({"Log":{"level":"info"},"LOG":{}})"}));

TEST(LogOutputRemoval, TakesTheLogFileOutOfTheGuardsSight) {
  json config = json::parse(R"({"log":{"level":"warn","output":"C:\\box.log"}})");
  remove_log_output(config);
  EXPECT_TRUE(check_config_paths(config).ok());
}

TEST(ConfigJsonText, IsIndentedInKeyOrderWithoutFinalLineFeed) {
  const json config =
      json::parse(R"({"b":[1,-2,18446744073709551615,true,false,null],"a":{},"c":[],)"
                  R"("d":{"y":"\u0001\u001f\t\"\\/é规则\u007f\b\f\r\n","x":1.5,"Z":[[]]}})");
  EXPECT_EQ(config_json_text(config),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    -2,\n"
            "    18446744073709551615,\n"
            "    true,\n"
            "    false,\n"
            "    null\n"
            "  ],\n"
            "  \"c\": [],\n"
            "  \"d\": {\n"
            "    \"Z\": [\n"
            "      []\n"
            "    ],\n"
            "    \"x\": 1.5,\n"
            "    \"y\": \"\\u0001\\u001f\\t\\\"\\\\/é规则\x7f\\b\\f\\r\\n\"\n"
            "  }\n"
            "}");
}

TEST(ConfigJsonText, WritesScalarsAndEmptyContainersAlone) {
  EXPECT_EQ(config_json_text(json(nullptr)), "null");
  EXPECT_EQ(config_json_text(json::object()), "{}");
  EXPECT_EQ(config_json_text(json::array()), "[]");
  EXPECT_EQ(config_json_text(json("规则")), "\"规则\"");
  EXPECT_EQ(config_json_text(json(std::int64_t{-9223372036854775807 - 1})), "-9223372036854775808");
}

struct DoubleCase {
  double value;
  std::string_view text;
};

class DoubleText : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleText, IsShortestRoundTripForm) {
  EXPECT_EQ(config_json_text(json(GetParam().value)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DoubleText,
    ::testing::Values(DoubleCase{2.0, "2.0"}, DoubleCase{-0.0, "-0.0"}, DoubleCase{0.1, "0.1"},
                      DoubleCase{123.456, "123.456"}, DoubleCase{-1.5e-10, "-1.5e-10"},
                      DoubleCase{1e100, "1e100"}, DoubleCase{1e-7, "1e-7"},
                      DoubleCase{0.00001, "0.00001"}, DoubleCase{0.000001, "1e-6"},
                      DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{1e16, "1e16"},
                      DoubleCase{5e-324, "5e-324"},
                      DoubleCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      // Values where a merely round-tripping writer picks longer or other digits.
                      DoubleCase{1.3164367751946822e15, "1316436775194682.2"},
                      DoubleCase{4.1752050594835e78, "4.1752050594835e78"},
                      DoubleCase{-2.522923758208279e-228, "-2.522923758208279e-228"}));

TEST(DoubleText, ReadsBackAsTheSameValue) {
  std::mt19937_64 random(6);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = config_json_text(json(value));
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    ASSERT_TRUE(json::parse(text).is_number_float()) << text;
  }
}

// The file holds exactly the text, whether it goes out in one piece or in many (strings and
// arrays long enough to cross the pieces' boundaries).
TEST(ConfigFile, HoldsExactlyTheText) {
  json large = json::object();
  for (int i = 0; i < 3000; ++i) {
    large["rules"].push_back({{"domain", "站点-" + std::to_string(i) + ".example"}, {"port", i}});
  }
  large["long"] = std::string(200000, 'x');
  testing::TempDir dir("config file");
  const platform::Path file = platform::join(dir.path(), "config.json");
  for (const json& config : {json(nullptr), json::object(), large}) {
    ASSERT_TRUE(write_config_json(file, config));
    EXPECT_EQ(testing::read_file(file), config_json_text(config));
  }
}

// The count is the text's length, and stops soon after the limit however large the text
// would be: 120 levels of indentation make two bytes of request text about 245 of config.json.
TEST(ConfigJsonSize, CountsTheTextAndStopsPastTheLimit) {
  json large = json::object();
  for (int i = 0; i < 3000; ++i) large["rules"].push_back({{"domain", "站点-" + std::to_string(i)}, {"n", i * 0.5}});
  for (const json& config : {json(nullptr), json::array(), json::parse(R"({"a":[{},[1,"\u0001"]]})"), large}) {
    EXPECT_EQ(config_json_size(config, UINT64_MAX), config_json_text(config).size());
    EXPECT_EQ(config_json_size(config, config_json_text(config).size()), config_json_text(config).size());
  }
  json deep = json::array();
  for (int i = 0; i < 300000; ++i) deep.push_back(0);
  for (int level = 0; level < 120; ++level) deep = json::array({std::move(deep)});
  const std::uint64_t counted = config_json_size(deep, 1 << 20);
  EXPECT_GT(counted, 1u << 20);
  EXPECT_LT(counted, 2u << 20);
}

TEST(ConfigFile, FailureCarriesTheSystemError) {
  testing::TempDir dir("config file");
  const auto written = write_config_json(platform::join(dir.path(), "missing dir/config.json"), json::object());
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().chain().find("(os error "), std::string::npos) << written.error().chain();
}

}  // namespace
}  // namespace tavrel::core
