// The id table behind remove, get, `in` and allow-lists: every listed id is
// found (0 and the largest id included, although 0 marks free slots), no
// other id is, and duplicates collapse.
#include "store/id_table.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace lodex {
namespace {

TEST(IdTable, FindsExactlyTheListedIds) {
  std::mt19937_64 rng(3);
  std::vector<uint64_t> ids = {0, ~uint64_t{0}, 1, 1, 0};
  for (int i = 0; i < 5000; ++i) ids.push_back(rng() % 100000);
  const IdTable table(ids);
  const std::set<uint64_t> listed(ids.begin(), ids.end());
  EXPECT_EQ(table.size(), listed.size());
  for (uint64_t id = 0; id < 100000; ++id) EXPECT_EQ(table.contains(id), listed.contains(id)) << id;
  EXPECT_TRUE(table.contains(~uint64_t{0}));
  EXPECT_FALSE(table.contains(~uint64_t{0} - 1));
}

TEST(IdTable, ValuesStartUnsetAndStick) {
  IdTable table(std::vector<uint64_t>{0, 42}, /*with_values=*/true);
  ASSERT_NE(table.slot_of(0), nullptr);
  ASSERT_NE(table.slot_of(42), nullptr);
  EXPECT_EQ(table.slot_of(43), nullptr);
  EXPECT_EQ(*table.slot_of(0), IdTable::kNone);
  *table.slot_of(0) = 5;
  *table.slot_of(42) = 6;
  EXPECT_EQ(*table.slot_of(0), 5u);
  EXPECT_EQ(*table.slot_of(42), 6u);
}

TEST(IdTable, EmptyListHoldsNothing) {
  const IdTable table(std::vector<uint64_t>{});
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.contains(0));
  EXPECT_FALSE(table.contains(7));
}

}  // namespace
}  // namespace lodex
