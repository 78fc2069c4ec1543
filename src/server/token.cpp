#include "server/token.h"

#include <cstdint>

#include "common/siphash.h"
#include "common/text.h"
#include "files/service_dir.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/system.h"

namespace tavrel::server {
namespace {

void put_le(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string generate_token() {
  const platform::WallNanos t = platform::wall_clock_nanos();
  std::uint64_t keys[2];
  platform::secure_random(keys, sizeof keys);
  std::string token;
  for (std::uint64_t i = 0; i < 2; ++i) {
    const std::uint32_t pid = platform::current_process_id();
    std::string message;
    put_le(message, t.low, 8);
    put_le(message, t.high, 8);
    put_le(message, i, 8);
    put_le(message, pid, 4);
    token += text::hex16(siphash13(keys[0] + i, keys[1], message));
  }
  return token;
}

Status write_token_file(const platform::Path& file, const std::string& token) {
  // Complete, with its access already set, before it takes the name: a reader sees the old
  // token or the new one, never an empty or cut file, and never one with wider access.
  platform::Path part = file;
  part += platform::from_utf8(files::TEMPORARY_SUFFIX);
  Status written = platform::write_restricted_file(part, token);
  if (written) written = platform::rename_replace_retrying(part, file);
  if (!written) (void)platform::remove_all(part);
  return written;
}

}  // namespace tavrel::server
