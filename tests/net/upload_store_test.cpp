// UploadBuffer on its own: growth that keeps the bytes, charges in whole pages, and refusals
// that leave the buffer and the allowance as they were. (Sessions, stores and readers holding
// charges are in session_test; memory going back to the system is in the soak.)
#include "net/upload_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/pages.h"

namespace velkaro {
namespace {

bool AllAre(const std::uint8_t* from, const std::uint8_t* to, std::uint8_t value) {
  return std::all_of(from, to, [&](std::uint8_t b) { return b == value; });
}

TEST(UploadBufferTest, GrowKeepsTheBytesAndChargesWholePages) {
  const std::size_t page = platform::PageRounded(1);
  UploadAllowance allowance(64 * page);
  {
    UploadBuffer buffer(allowance);
    ASSERT_TRUE(buffer.Grow(10));
    EXPECT_EQ(buffer.size(), 10u);
    EXPECT_EQ(allowance.held(), page);
    std::memset(buffer.data(), 0x42, buffer.size());

    // Within the page it holds: the same bytes in place, nothing more charged.
    const std::uint8_t* before = buffer.data();
    ASSERT_TRUE(buffer.Grow(page));
    EXPECT_EQ(buffer.data(), before);
    EXPECT_EQ(allowance.held(), page);
    EXPECT_TRUE(AllAre(buffer.begin(), buffer.begin() + 10, 0x42));
    EXPECT_TRUE(AllAre(buffer.begin() + 10, buffer.end(), 0));
    std::memset(buffer.data() + 10, 0x43, page - 10);

    // Past it: new pages, the bytes moved, the old pages' charge given back.
    ASSERT_TRUE(buffer.Grow(3 * page + 1));
    EXPECT_EQ(buffer.size(), 3 * page + 1);
    EXPECT_EQ(buffer.charged(), 4 * page);
    EXPECT_EQ(allowance.held(), 4 * page);
    EXPECT_TRUE(AllAre(buffer.begin(), buffer.begin() + 10, 0x42));
    EXPECT_TRUE(AllAre(buffer.begin() + 10, buffer.begin() + page, 0x43));
    EXPECT_TRUE(AllAre(buffer.begin() + page, buffer.end(), 0));

    UploadBuffer moved(std::move(buffer));
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.charged(), 0u);
    EXPECT_EQ(moved.size(), 3 * page + 1);
    EXPECT_EQ(allowance.held(), 4 * page) << "charged once, to the buffer that holds the bytes";
  }
  EXPECT_EQ(allowance.held(), 0u);
}

TEST(UploadBufferTest, ARefusedGrowthLeavesBufferAndAllowanceAsTheyWere) {
  const std::size_t page = platform::PageRounded(1);
  // Two pages: a buffer of one cannot move to two, which would hold three for a moment.
  UploadAllowance allowance(2 * page);
  UploadBuffer buffer(allowance);
  ASSERT_TRUE(buffer.Grow(page));
  std::memset(buffer.data(), 0x42, page);
  const std::uint8_t* before = buffer.data();
  EXPECT_FALSE(buffer.Grow(page + 1));
  EXPECT_EQ(buffer.data(), before);
  EXPECT_EQ(buffer.size(), page);
  EXPECT_TRUE(AllAre(buffer.begin(), buffer.end(), 0x42));
  EXPECT_EQ(allowance.held(), page);

  // Far past the allowance, and past what can be rounded to pages at all.
  EXPECT_FALSE(buffer.Grow(static_cast<std::size_t>(-1)));
  EXPECT_EQ(allowance.held(), page);

  // A store's empty data can never grow.
  UploadBuffer empty;
  EXPECT_TRUE(empty.Grow(0));
  EXPECT_FALSE(empty.Grow(1));
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace velkaro
