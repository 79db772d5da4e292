// Tests of ZUV_Table's identity and of its shared ownership.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "table/zuv_table.h"

namespace {

TEST(ZuvTableTest, IdentityIsFixedAtConstruction) {
  ZUV_Table table("STORE01", "FOLDER01");
  EXPECT_EQ(table.StoreEntryID(), "STORE01");
  EXPECT_EQ(table.FolderEntryID(), "FOLDER01");
  EXPECT_EQ(table.Key(), ZUV_Table::MakeKey("STORE01", "FOLDER01"));

  // Store and folder are not interchangeable in the key.
  EXPECT_NE(ZUV_Table::MakeKey("A", "B"), ZUV_Table::MakeKey("B", "A"));
  EXPECT_NE(ZUV_Table::MakeKey("AB", ""), ZUV_Table::MakeKey("A", "B"));
  EXPECT_NE(ZUV_Table::MakeKey("", "AB"), ZUV_Table::MakeKey("A", "B"));
  EXPECT_EQ(ZUV_Table::MakeKey("A", "B"), ZUV_Table::MakeKey(std::string("A"), "B"));

  // The public store key and an empty folder (the store's root) are valid.
  ZUV_Table root("ZUV_PF_STORE_ENTRYID", "");
  EXPECT_EQ(root.FolderEntryID(), "");
  EXPECT_EQ(root.Key(), ZUV_Table::MakeKey("ZUV_PF_STORE_ENTRYID", ""));
  EXPECT_NE(root.Key(), ZUV_Table::MakeKey("", "ZUV_PF_STORE_ENTRYID"));
}

TEST(ZuvTableTest, LivesWhileAnyReferenceDoes) {
  auto owner = std::make_shared<ZUV_Table>("STORE01", "FOLDER01");
  std::weak_ptr<ZUV_Table> watch = owner;
  ZUV_TablePtr reader = owner;
  EXPECT_EQ(owner.use_count(), 2);
  owner.reset();
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(reader->FolderEntryID(), "FOLDER01");
  EXPECT_EQ(reader->Key(), ZUV_Table::MakeKey("STORE01", "FOLDER01"));
  reader.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
