#include "common/base64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace tavrel {
namespace {

struct Case {
  std::string_view input;
  std::string_view decoded;  // when `error` is empty
  std::string_view error;
};

class Base64Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Base64Decode, GivesBytesOrExactError) {
  const Case& c = GetParam();
  const auto result = base64_decode_strict(c.input);
  if (c.error.empty()) {
    ASSERT_TRUE(result.ok()) << result.error().chain();
    EXPECT_EQ(result.value(), c.decoded);
  } else {
    ASSERT_FALSE(result.ok()) << "decoded to " << result.value().size() << " bytes";
    EXPECT_EQ(result.error().chain(), c.error);
    EXPECT_EQ(result.error().messages().size(), 1u);
  }
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Accepted, Base64Decode,
                         ::testing::Values(Case{"", "", ""}, Case{"AQ==", "\x01", ""},
                                           Case{"AA==", "\0"sv, ""}, Case{"AAA=", "\0\0"sv, ""},
                                           Case{"AQE=", "\x01\x01", ""}, Case{"TWFu", "Man", ""},
                                           Case{"TWFuTWE=", "ManMa", ""},
                                           Case{"+/+/", "\xfb\xff\xbf", ""},
                                           Case{"//8=", "\xff\xff", ""}));

INSTANTIATE_TEST_SUITE_P(
    Refused, Base64Decode,
    ::testing::Values(Case{"AQ", "", "Invalid padding"}, Case{"AQ=", "", "Invalid padding"},
                      Case{"AQE", "", "Invalid padding"},
                      Case{"AR==", "", "Invalid last symbol 82, offset 1."},
                      Case{"AQF=", "", "Invalid last symbol 70, offset 2."},
                      Case{"AAAAAR==", "", "Invalid last symbol 82, offset 5."},
                      Case{"A", "", "Invalid input length: 1"},
                      Case{"AAAAA", "", "Invalid input length: 5"},
                      Case{"AQ==AQ==", "", "Invalid symbol 61, offset 2."},
                      Case{"AA===", "", "Invalid symbol 61, offset 2."},
                      Case{"AAAA=", "", "Invalid symbol 61, offset 4."},
                      Case{"=AAA", "", "Invalid symbol 61, offset 0."},
                      Case{"A=AA", "", "Invalid symbol 61, offset 1."},
                      Case{"AA=A", "", "Invalid symbol 61, offset 2."},
                      Case{"AAAA\nAAAA", "", "Invalid symbol 10, offset 4."},
                      Case{"AAAA\nAAA\n", "", "Invalid symbol 10, offset 8."},
                      Case{"A\nAAA", "", "Invalid symbol 10, offset 1."},
                      Case{"AAAA\r\n", "", "Invalid symbol 13, offset 4."},
                      Case{" AAA", "", "Invalid symbol 32, offset 0."},
                      Case{"ab-_", "", "Invalid symbol 45, offset 2."},
                      Case{"_-AAAAAA", "", "Invalid symbol 95, offset 0."},
                      Case{"AAA\x80", "", "Invalid symbol 128, offset 3."}));

TEST(Base64Decode, RoundTripsEveryByteValueAtEveryTailLength) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("\x01"), "AQ==");
  EXPECT_EQ(base64_encode("ab"), "YWI=");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (std::size_t tail = 0; tail < 3; ++tail) {
    const std::string bytes = all.substr(0, 255 + tail - 2);
    const auto decoded = base64_decode_strict(base64_encode(bytes));
    ASSERT_TRUE(decoded.ok()) << decoded.error().chain();
    EXPECT_EQ(decoded.value(), bytes);
  }
}

}  // namespace
}  // namespace tavrel
