#include "common/siphash.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrel {
namespace {

// Key 00..0f, messages 00..(i-1): the reference vectors of SipHash-1-3.
constexpr std::uint64_t VECTORS[] = {
    0xabac0158050fc4dcULL, 0xc9f49bf37d57ca93ULL, 0x82cb9b024dc7d44dULL, 0x8bf80ab8e7ddf7fbULL,
    0xcf75576088d38328ULL, 0xdef9d52f49533b67ULL, 0xc50d2b50c59f22a7ULL, 0xd3927d989bb11140ULL,
    0x369095118d299a8eULL, 0x25a48eb36c063de4ULL, 0x79de85ee92ff097fULL, 0x70c118c1f94dc352ULL,
    0x78a384b157b4d9a2ULL, 0x306f760c1229ffa7ULL, 0x605aa111c0f95d34ULL, 0xd320d86d2a519956ULL,
};

TEST(SipHash13, MatchesReferenceVectors) {
  std::string message;
  for (std::size_t i = 0; i < std::size(VECTORS); ++i) {
    EXPECT_EQ(siphash13(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, message), VECTORS[i]) << "length " << i;
    message += static_cast<char>(i);
  }
}

TEST(SipHash13, KeyWordsMatter) {
  const std::string message(28, 'x');
  EXPECT_NE(siphash13(1, 2, message), siphash13(2, 2, message));
  EXPECT_NE(siphash13(1, 2, message), siphash13(1, 3, message));
}

}  // namespace
}  // namespace tavrel
