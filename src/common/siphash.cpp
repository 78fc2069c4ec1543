#include "siphash.h"

namespace tavrel {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }

  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view message) {
  State s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
          k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(message.data());
  const std::size_t n = message.size();
  const std::size_t whole = n - n % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le(p + i, 8));
  const std::uint64_t last = (static_cast<std::uint64_t>(n & 0xFF) << 56) | load_le(p + whole, n % 8);
  s.compress(last);
  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tavrel
