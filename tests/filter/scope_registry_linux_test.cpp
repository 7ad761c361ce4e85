// IsPublicDestination held against the registry's own text of the blocks
// (read with the C library's inet_pton, hence Linux only).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/scope.h"
#include "filter/special_purpose_blocks.h"
#include "support/text_rows.h"

namespace sockvane::filter {
namespace {

std::string Dotted(uint32_t v) {
  return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
         std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
}

std::vector<special_purpose::Block> Blocks() {
  return special_purpose::LoadBlocks(std::string(SOCKVANE_TEST_DATA) + "/special_purpose_blocks.csv");
}

// Both ends of every IPv4 block are not public, and the addresses just
// outside are public unless another block holds them.
TEST(IsPublicDestinationRegistry, Ipv4BlockEdges) {
  const auto blocks = Blocks();
  ASSERT_GE(blocks.size(), 16u);
  int checked = 0;
  for (const auto& block : blocks) {
    if (block.ipv6) continue;
    const uint32_t first = uint32_t{block.bytes[0]} << 24 | uint32_t{block.bytes[1]} << 16 |
                           uint32_t{block.bytes[2]} << 8 | block.bytes[3];
    // A shift by 32 would be undefined: a /32 holds one address.
    const uint32_t size_less_one = block.prefix >= 32 ? 0 : ~uint32_t{0} >> block.prefix;
    const uint32_t last = first + size_less_one;
    std::vector<uint32_t> probes = {first, last, first + size_less_one / 2};
    if (first > 0) probes.push_back(first - 1);
    if (last < ~uint32_t{0}) probes.push_back(last + 1);
    for (uint32_t v : probes) {
      const bool listed = special_purpose::InAnyIpv4Block(blocks, v);
      EXPECT_EQ(IsPublicDestination(testing::AddressFromText(Dotted(v))), !listed)
          << Dotted(v) << " near " << block.text;
      ++checked;
    }
  }
  EXPECT_GT(checked, 60);
}

// Both ends of every IPv6 block are not public.
TEST(IsPublicDestinationRegistry, Ipv6BlockEnds) {
  int checked = 0;
  for (const auto& block : Blocks()) {
    if (!block.ipv6) continue;
    auto last = block.bytes;
    for (int bit = block.prefix; bit < 128; ++bit) last[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    for (const auto& bytes : {block.bytes, last}) {
      track::Address address;
      std::copy(bytes.begin(), bytes.end(), address.begin());
      EXPECT_FALSE(IsPublicDestination(address)) << track::Ipv6ToText(address) << " in " << block.text;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 12);
}

}  // namespace
}  // namespace sockvane::filter
