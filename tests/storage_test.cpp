// Tests of sample-store sizing: capacity, megabyte figures, halving retry.
#include <gtest/gtest.h>

#include <vector>

#include "library.h"  // DEFAULT_ALLOC_BUDGET
#include "storage.h"
#include "test_util.h"

namespace {

TEST(StorageTest, CapacityFromBudget) {
  struct capacity_case {
    uint64_t budget;
    int32_t columns;
    int32_t entries;
  };
  const capacity_case cases[] = {
      {DEFAULT_ALLOC_BUDGET, 1, 250000000},
      {DEFAULT_ALLOC_BUDGET, 25, 10000000},
      {DEFAULT_ALLOC_BUDGET, 26, 9615384},
      {DEFAULT_ALLOC_BUDGET, 2048, 122070},
      {DEFAULT_ALLOC_BUDGET * 9, 1, INT32_MAX},  // capped, not wrapped
      {UINT64_MAX, 1, INT32_MAX},
      {UINT64_MAX, 2048, INT32_MAX},
      {7, 1, 0},
  };
  for (const capacity_case& c : cases) {
    EXPECT_EQ(entries_for_budget(c.budget, c.columns), c.entries)
        << c.budget << " bytes, " << c.columns << " columns";
  }
}

TEST(StorageTest, MegabytesRoundTheEntryScaleFirst) {
  struct megabytes_case {
    int32_t columns;
    unsigned megabytes;
  };
  // Default budget: one less than 2000 for most counts, exactly 2000 for some
  // exact capacities, but not for 625 columns (400000 * 1e-6 rounds low).
  const megabytes_case cases[] = {{26, 1999},  {32, 2000},  {50, 2000},
                                  {100, 2000}, {625, 1999}, {2048, 1999}};
  for (const megabytes_case& c : cases) {
    int32_t entries = entries_for_budget(DEFAULT_ALLOC_BUDGET, c.columns);
    EXPECT_EQ(storage_megabytes(entries, c.columns), c.megabytes) << c.columns << " columns";
  }
  EXPECT_EQ(storage_megabytes(INT32_MAX, INT32_MAX), UINT32_MAX);
}

// An allocator that refuses every request above a capacity, and records the
// capacities asked for.
int32_t g_largest_allowed;
std::vector<int32_t> g_requests;
column_matrix limited_allocator(int32_t rows, int32_t length) {
  g_requests.push_back(length);
  if (length > g_largest_allowed) return nullptr;
  return allocate_double_matrix(rows, length);
}

TEST(StorageTest, QuietForLargeCapacities) {
  int32_t entries = 0;
  std::string text;
  const run_hooks hooks = collect_text(&text);
  column_matrix store = allocate_storage(25, &entries, DEFAULT_ALLOC_BUDGET, &hooks);
  EXPECT_EQ(text, "");
  EXPECT_EQ(entries, 10000000);
  free_double_matrix(store);
}

TEST(StorageTest, AnnouncesSmallCapacities) {
  int32_t entries = 0;
  std::string text;
  const run_hooks hooks = collect_text(&text);
  column_matrix store = allocate_storage(26, &entries, DEFAULT_ALLOC_BUDGET, &hooks);
  EXPECT_EQ(text,
            "Storage per column set to 9615384 entries (1999 MB total)\n"
            "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n");
  EXPECT_EQ(entries, 9615384);
  free_double_matrix(store);
}

TEST(StorageTest, HalvesUntilTheAllocationSucceeds) {
  g_largest_allowed = 30000000;
  g_requests.clear();
  int32_t entries = 0;
  std::string err;
  const run_hooks hooks = collect_text(&err);
  column_matrix store =
      allocate_storage(1, &entries, DEFAULT_ALLOC_BUDGET, &hooks, limited_allocator);
  EXPECT_EQ(g_requests, (std::vector<int32_t>{250000000, 125000000, 62500000, 31250000, 15625000}));
  EXPECT_EQ(entries, 15625000);
  EXPECT_EQ(err, "");  // above 9,999,999: taken silently
  free_double_matrix(store);

  g_largest_allowed = 9000000;
  err.clear();
  store = allocate_storage(1, &entries, DEFAULT_ALLOC_BUDGET, &hooks, limited_allocator);
  EXPECT_EQ(entries, 7812500);
  EXPECT_EQ(err,
            "Storage per column set to 7812500 entries (62 MB total)\n"
            "If this is insufficient, use -a or analyze data in sets of fewer columns via -c\n\n");
  free_double_matrix(store);
}

TEST(StorageTest, SmallFirstCapacityIsAcceptedUnchanged) {
  int32_t entries = 0;
  column_matrix store = allocate_storage(2, &entries, 8 * 2 * 5000, nullptr);
  EXPECT_EQ(entries, 5000);
  free_double_matrix(store);
}

TEST(StorageTest, GivesUpBelowTheMinimumAfterHalving) {
  g_largest_allowed = 0;
  int32_t entries = 0;
  // 250,000,000 halves to 7,629 after fifteen halvings.
  EXPECT_TRUE(throws_fatal(
      [&] { allocate_storage(1, &entries, DEFAULT_ALLOC_BUDGET, nullptr, limited_allocator); },
      -300, "Could not allocate storage array (7629 entries per column -> 0 MB)"));
  // Even when the halved allocation would succeed, the minimum holds.
  g_largest_allowed = 9999;
  EXPECT_TRUE(
      throws_fatal([&] { allocate_storage(1, &entries, 8 * 19000, nullptr, limited_allocator); },
                   -300, "Could not allocate storage array (9500 entries per column -> 0 MB)"));
  // A budget that pays for nothing fails at once.
  EXPECT_TRUE(throws_fatal([&] { allocate_storage(3, &entries, 7, nullptr); }, -300,
                           "Could not allocate storage array (0 entries per column -> 0 MB)"));
}

}  // namespace
