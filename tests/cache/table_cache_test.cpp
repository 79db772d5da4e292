// Tests of the session's table cache: lookup order, removal that leaves the
// holders' references valid, and concurrent use (run under the tsan preset
// for data races). The cache is never logged on: the table calls do not
// need a session.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cache/zuv_cache.h"
#include "table/zuv_table.h"

namespace {

TEST(TableCacheTest, FindReturnsTheFirstAddedForFolderAndStore) {
  ZUV_Cache cache("T", "svc");
  EXPECT_EQ(cache.FindTable("F1", "S1"), nullptr);
  EXPECT_EQ(cache.TableCount(), 0u);

  auto first = std::make_shared<ZUV_Table>("S1", "F1");
  auto second = std::make_shared<ZUV_Table>("S1", "F1");
  auto other_store = std::make_shared<ZUV_Table>("S2", "F1");
  auto other_folder = std::make_shared<ZUV_Table>("S1", "F2");
  cache.AddTable(other_store);
  cache.AddTable(first);
  cache.AddTable(second);
  cache.AddTable(other_folder);
  cache.AddTable(nullptr);
  EXPECT_EQ(cache.TableCount(), 4u) << "a null table is not filed";

  EXPECT_EQ(cache.FindTable("F1", "S1"), first);
  EXPECT_EQ(cache.FindTable("F1", "S2"), other_store);
  EXPECT_EQ(cache.FindTable("F2", "S1"), other_folder);
  EXPECT_EQ(cache.FindTable("S1", "F1"), nullptr) << "folder first, then store";
  EXPECT_EQ(cache.FindTable("F2", "S2"), nullptr);
  EXPECT_EQ(cache.FindTable("f1", "S1"), nullptr);

  // With the first gone, the second of the same folder is found.
  cache.RemoveTable("F1", first.get());
  EXPECT_EQ(cache.FindTable("F1", "S1"), second);
  EXPECT_EQ(cache.TableCount(), 3u);
}

TEST(TableCacheTest, RemoveDropsOnlyTheCachesReference) {
  ZUV_Cache cache("T", "svc");
  auto held = std::make_shared<ZUV_Table>("S1", "F1");
  std::weak_ptr<ZUV_Table> watch = held;
  cache.AddTable(held);
  EXPECT_EQ(held.use_count(), 2);
  {
    ZUV_TablePtr found = cache.FindTable("F1", "S1");
    EXPECT_EQ(held.use_count(), 3) << "a lookup hands out a reference of its own";
  }
  EXPECT_EQ(held.use_count(), 2);

  cache.RemoveTable("F1", held.get());
  EXPECT_EQ(cache.TableCount(), 0u);
  EXPECT_EQ(cache.FindTable("F1", "S1"), nullptr);
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(held->FolderEntryID(), "F1");
  EXPECT_EQ(held->StoreEntryID(), "S1");

  // Removing it again, or a table never added, changes nothing.
  cache.RemoveTable("F1", held.get());
  auto stranger = std::make_shared<ZUV_Table>("S1", "F1");
  auto kept = std::make_shared<ZUV_Table>("S1", "F1");
  cache.AddTable(kept);
  cache.RemoveTable("F1", stranger.get());
  cache.RemoveTable("F1", nullptr);
  EXPECT_EQ(cache.TableCount(), 1u);
  EXPECT_EQ(cache.FindTable("F1", "S1"), kept);
  EXPECT_EQ(kept.use_count(), 2);
  EXPECT_EQ(stranger.use_count(), 1);

  // The folder argument does not pick the entry: the table object does.
  cache.RemoveTable("some other folder", kept.get());
  EXPECT_EQ(cache.TableCount(), 0u);
  EXPECT_EQ(kept.use_count(), 1);

  // A table filed twice is removed one entry at a time.
  cache.AddTable(kept);
  cache.AddTable(kept);
  cache.RemoveTable("F1", kept.get());
  EXPECT_EQ(cache.FindTable("F1", "S1"), kept);
  cache.RemoveTable("F1", kept.get());
  EXPECT_EQ(cache.FindTable("F1", "S1"), nullptr);

  // The last reference ends the table.
  held.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(TableCacheTest, TablesLastAsLongAsTheCacheOrAHolder) {
  std::weak_ptr<ZUV_Table> cached_only;
  ZUV_TablePtr held;
  {
    ZUV_Cache cache("T", "svc");
    auto a = std::make_shared<ZUV_Table>("S1", "F1");
    cached_only = a;
    cache.AddTable(std::move(a));
    held = std::make_shared<ZUV_Table>("S1", "F2");
    cache.AddTable(held);
    EXPECT_FALSE(cached_only.expired());
  }
  EXPECT_TRUE(cached_only.expired()) << "the cache's references end with it";
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(held->FolderEntryID(), "F2");
}

TEST(TableCacheTest, ConcurrentFindAddRemoveWithHeldReferences) {
  ZUV_Cache cache("T", "svc");
  constexpr int kThreads = 8;
  constexpr int kRounds = 400;
  auto shared = std::make_shared<ZUV_Table>("S", "SHARED");
  cache.AddTable(shared);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&cache, &failures, t] {
      const std::string folder = "F" + std::to_string(t);
      std::vector<ZUV_TablePtr> held;
      for (int i = 0; i < kRounds; ++i) {
        auto table = std::make_shared<ZUV_Table>("S", folder);
        cache.AddTable(table);
        ZUV_TablePtr found = cache.FindTable(folder, "S");
        // Only this thread files tables of its folder, and it removes each
        // before adding the next: the one found is the one just added.
        if (found != table) ++failures;
        ZUV_TablePtr common = cache.FindTable("SHARED", "S");
        if (common == nullptr || common->FolderEntryID() != "SHARED") ++failures;
        held.push_back(found);
        cache.RemoveTable(folder, table.get());
        if (cache.FindTable(folder, "S") != nullptr) ++failures;
        // Another thread's folder: null, or one of its tables, whole.
        ZUV_TablePtr neighbour = cache.FindTable("F" + std::to_string((t + 1) % kThreads), "S");
        if (neighbour != nullptr && neighbour->FolderEntryID() != "F" + std::to_string((t + 1) % kThreads)) {
          ++failures;
        }
        if (held.size() > 16) held.erase(held.begin());
      }
      // The references kept past their removal still read.
      for (const ZUV_TablePtr& table : held) {
        if (table->FolderEntryID() != folder || table->StoreEntryID() != "S") ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(cache.TableCount(), 1u);
  EXPECT_EQ(cache.FindTable("SHARED", "S"), shared);
  EXPECT_EQ(shared.use_count(), 2);
}

}  // namespace
