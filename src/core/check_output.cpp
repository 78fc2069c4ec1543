#include "core/check_output.h"

#include <cstddef>
#include <vector>

#include "common/text.h"

namespace tavrel::core {
namespace {

constexpr std::size_t TAIL_LINES = 4;

}  // namespace

std::string check_output_tail(std::string_view stderr_bytes) {
  const std::string text = text::utf8_lossy(stderr_bytes);
  const std::string_view all(text);

  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t feed = all.find('\n', start);
    std::string_view line;
    if (feed == std::string_view::npos) {
      line = all.substr(start);
      start = all.size();
    } else {
      line = all.substr(start, feed - start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      start = feed + 1;
    }
    if (!text::is_blank(line)) lines.push_back(line);
  }

  const std::size_t first = lines.size() > TAIL_LINES ? lines.size() - TAIL_LINES : 0;
  std::string tail;
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (i > first) tail.push_back('\n');
    tail += lines[i];
  }
  return tail;
}

}  // namespace tavrel::core
