#include "crc32c.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vendrel {
namespace {

// The textbook bitwise CRC32C (reflected polynomial 0x82F63B78).
uint32_t reference_crc32c(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST(Crc32cTest, StandardCheckValueAndEmptyInput) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32c(check.data(), check.size()), 0xE3069283u);
  EXPECT_EQ(crc32c(nullptr, 0), 0u);
}

TEST(Crc32cTest, MatchesTheBitwiseDefinitionAndExtendsPiecewise) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<uint8_t> bytes(rng() % 5000);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
    const uint32_t whole = crc32c(bytes.data(), bytes.size());
    ASSERT_EQ(whole, reference_crc32c(bytes.data(), bytes.size())) << bytes.size();
    const size_t cut = bytes.empty() ? 0 : rng() % bytes.size();
    EXPECT_EQ(crc32c_extend(crc32c(bytes.data(), cut), bytes.data() + cut, bytes.size() - cut), whole);
  }
}

}  // namespace
}  // namespace vendrel
