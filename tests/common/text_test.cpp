#include "common/text.h"

#include <gtest/gtest.h>

#include "common/command_error.h"

namespace tavrel {
namespace {

TEST(Utf8, Validity) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain", true},
      {"配置", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},          // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xE9\x85", false},          // cut short
      {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
      {"\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(text::is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(Utf8, LossyReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(text::utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(text::utf8_lossy("\xE9\x85" "x"), "\xEF\xBF\xBD" "x");
  EXPECT_EQ(text::utf8_lossy("配置"), "配置");
}

TEST(UnicodeSpace, TrimAndSplit) {
  EXPECT_EQ(text::trim_unicode_space("\xE3\x80\x80 a b\t\r\n\xC2\x85"), "a b");
  EXPECT_EQ(text::trim_unicode_space("\xEF\xBB\xBF" "x"), "\xEF\xBB\xBF" "x");  // a BOM is not space
  const auto words = text::split_words(" sing-box  version\t1.12.0-beta.1 extra\r");
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[2], "1.12.0-beta.1");
  EXPECT_TRUE(text::is_blank(" \xE2\x80\xA8\t"));
  EXPECT_FALSE(text::is_blank(" x "));
}

TEST(Hex, SixteenLowerCaseDigits) {
  EXPECT_EQ(text::hex16(0), "0000000000000000");
  EXPECT_EQ(text::hex16(0xABCDEF0123456789ULL), "abcdef0123456789");
}

TEST(CommandError, ChainJoinsOutermostFirst) {
  EXPECT_EQ(CommandError("alone").chain(), "alone");
  CommandError error = CommandError("cause").context("middle").context("outer");
  EXPECT_EQ(error.chain(), "outer: middle: cause");
  EXPECT_EQ(error.message(), "outer");
}

}  // namespace
}  // namespace tavrel
