#include "core/check_output.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tavrel::core {
namespace {

struct Case {
  std::string_view stderr_bytes;
  std::string_view tail;
};

class CheckOutputTail : public ::testing::TestWithParam<Case> {};

TEST_P(CheckOutputTail, KeepsLastFourNonBlankLines) {
  EXPECT_EQ(check_output_tail(GetParam().stderr_bytes), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckOutputTail,
    ::testing::Values(Case{"", ""}, Case{"\n\n \t\n", ""},
                      Case{"a\n\nb\n  \nc\n\t\nd\n\ne\n\nf\n", "c\nd\ne\nf"},
                      Case{"a\r\nb\r\n\r\nc\r\n", "a\nb\nc"}, Case{"a\nb", "a\nb"},
                      Case{"  spaced  \n", "  spaced  "}, Case{"a\rb\n", "a\rb"},
                      // U+3000 and U+00A0 are white space; a lone 0xFF is not text.
                      Case{"x\n\xE3\x80\x80\n\xC2\xA0\nbad \xFF\n", "x\nbad \xEF\xBF\xBD"},
                      Case{"1\n2\n3\n4\n5", "2\n3\n4\n5"}));

}  // namespace
}  // namespace tavrel::core
