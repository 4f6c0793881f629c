#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace stow {
namespace {

TEST(ByteView, ReadsLittleEndianAndFailsOutsideTheBuffer) {
  const std::vector<std::byte> data = {std::byte{0x01}, std::byte{0x02}, std::byte{0x03},
                                       std::byte{0x04}, std::byte{0x05}};
  ByteView v(data);
  EXPECT_EQ(v.U16(0), 0x0201);
  EXPECT_EQ(v.U32(1), 0x05040302u);
  EXPECT_TRUE(v.Ok());
  EXPECT_EQ(v.U32(2), 0u);  // would read byte 5
  EXPECT_FALSE(v.Ok());
}

TEST(ByteView, RangeChecksDoNotOverflow) {
  EXPECT_TRUE(RangeFits(10, 10, 0));
  EXPECT_FALSE(RangeFits(10, 11, 0));
  EXPECT_FALSE(RangeFits(10, 2, UINT64_MAX));
  EXPECT_FALSE(RangeFits(10, UINT64_MAX, 2));
  ByteView v(nullptr, 0);
  EXPECT_EQ(v.Sub(0, 1).size(), 0u);
  EXPECT_FALSE(v.Ok());
}

TEST(Crc32, MatchesTheStandardCheckValue) {
  constexpr std::string_view text = "123456789";
  EXPECT_EQ(Crc32(AsBytes(text.data(), text.size())), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
}

}  // namespace
}  // namespace stow
