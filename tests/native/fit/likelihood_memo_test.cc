#include "fit/likelihood/likelihood_memo.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwex {
namespace {

TEST(LikelihoodMemo, MatchesExactBitsAndEvictsTheLeastRecentlyUsed) {
  LikelihoodMemo memo;
  EXPECT_FALSE(memo.find(std::vector<double>{1.0, 2.0}));
  memo.store(std::vector<double>{0.0, 2.0}, 5.0);
  EXPECT_EQ(memo.find(std::vector<double>{0.0, 2.0}), 5.0);
  EXPECT_FALSE(memo.find(std::vector<double>{-0.0, 2.0}));  // equal as numbers, not as bits
  EXPECT_FALSE(memo.find(std::vector<double>{0.0, 2.0, 0.0}));

  // Fill it, touch the oldest entry, then add one more: the second oldest goes.
  for (std::size_t i = 1; i < LikelihoodMemo::kCapacity; ++i) {
    memo.store(std::vector<double>{static_cast<double>(i), 2.0}, static_cast<double>(i));
  }
  EXPECT_EQ(memo.find(std::vector<double>{0.0, 2.0}), 5.0);
  memo.store(std::vector<double>{100.0, 2.0}, 100.0);
  EXPECT_EQ(memo.find(std::vector<double>{0.0, 2.0}), 5.0);
  EXPECT_FALSE(memo.find(std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(memo.find(std::vector<double>{2.0, 2.0}), 2.0);
  EXPECT_EQ(memo.find(std::vector<double>{100.0, 2.0}), 100.0);
}

}  // namespace
}  // namespace tarnwex
