// The address blocks of tests/data/special_purpose_blocks.csv, read with
// inet_pton: an account of what is not public that owes nothing to the
// octet rules it is held against.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace special_purpose {

struct Block {
  bool ipv6 = false;
  std::array<uint8_t, 16> bytes{};  // network order; IPv4 in the first four
  int prefix = 0;
  std::string text;
};

// Empty when the file cannot be read or a block does not parse.
inline std::vector<Block> LoadBlocks(const std::string& path) {
  std::vector<Block> blocks;
  std::ifstream in(path);
  std::string line;
  bool header_seen = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (!header_seen) {
      header_seen = true;
      continue;
    }
    Block block;
    block.text = line.substr(0, line.find(','));
    const std::size_t slash = block.text.find('/');
    if (slash == std::string::npos) return {};
    const std::string address = block.text.substr(0, slash);
    block.prefix = std::stoi(block.text.substr(slash + 1));
    block.ipv6 = address.find(':') != std::string::npos;
    if (inet_pton(block.ipv6 ? AF_INET6 : AF_INET, address.c_str(), block.bytes.data()) != 1) return {};
    if (block.prefix < 0 || block.prefix > (block.ipv6 ? 128 : 32)) return {};
    blocks.push_back(block);
  }
  return blocks;
}

inline bool Contains(const Block& block, const uint8_t* bytes) {
  for (int bit = 0; bit < block.prefix; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    if ((block.bytes[bit / 8] & mask) != (bytes[bit / 8] & mask)) return false;
  }
  return true;
}

inline bool InAnyBlock(const std::vector<Block>& blocks, bool ipv6, const uint8_t* bytes) {
  for (const Block& block : blocks) {
    if (block.ipv6 == ipv6 && Contains(block, bytes)) return true;
  }
  return false;
}

inline bool InAnyIpv4Block(const std::vector<Block>& blocks, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return InAnyBlock(blocks, false, bytes);
}

}  // namespace special_purpose
