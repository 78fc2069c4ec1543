#include "platform/console.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"

namespace tavrel::platform {
namespace {

const bool WINDOWS = SERVICE_EXE_NAME.ends_with(".exe");

// What a Chinese Windows console program writes when redirected: "失败：服务" in code page 936.
const std::string GBK_TEXT = "\xca\xa7\xb0\xdc\xa3\xba\xb7\xfe\xce\xf1";

TEST(DecodeConsoleOutput, Utf8StaysAndOtherTextIsReadInTheCodePage) {
  struct Case {
    std::string bytes;
    unsigned code_page;
    std::string windows;
    std::string posix;
  } cases[] = {
      {"[SC] 失败 1060", 936, "[SC] 失败 1060", "[SC] 失败 1060"},
      {"plain", 437, "plain", "plain"},
      {GBK_TEXT, 936, "失败：服务",
       // POSIX tools write UTF-8: the bytes are read as such, whatever they were meant as.
       "\u02A7\uFFFD\u0723\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
      // No code page to read it in: only the replacement character.
      {"\xff ok", 0, "\uFFFD ok", "\uFFFD ok"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_console_output(c.bytes, c.code_page), WINDOWS ? c.windows : c.posix)
        << c.bytes;
  }
}

}  // namespace
}  // namespace tavrel::platform
