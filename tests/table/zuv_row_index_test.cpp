// Tests of the compact row: keys held as entry-ID bytes and read back as
// hex text, the instance key folded into the key, rows with more tags than
// a shared schema takes; and of the row index: key order whatever the
// insertion order, replacing, erasing and packing.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/mapitags.h"
#include "table/zuv_row.h"
#include "table/zuv_row_index.h"

namespace {

// An entry ID as the store makes them: a shared first part, then an ID.
std::string EntryId(uint64_t id, char storeByte = 'S') {
  std::string bytes(38, storeByte);
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((id >> (8 * i)) & 0xFF));
  return bytes;
}

std::string Hex(const std::string& bytes) {
  std::string text;
  AppendHex(bytes, &text);
  return text;
}

ZUV_RowRef KeyRow(const std::string& hexKey, LONG n) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, hexKey);
  b.AddNumber(PR_IMPORTANCE, n);
  return b.Build();
}

std::vector<std::string> KeysInOrder(const ZUV_RowIndex& index) {
  std::vector<std::string> keys;
  index.ForEach([&](const ZUV_RowRef& row) {
    keys.push_back(row->Key());
    return true;
  });
  return keys;
}

}  // namespace

TEST(RowKeyTest, HexKeysAreHeldAsBytesAndReadBackAsTheSameText) {
  const std::string entry = EntryId(0xABCDEF0102030405ull);
  ZUV_RowBuilder b;
  b.AddBinaryKey(entry);
  b.AddBytes(kInstanceKeyTag, entry.substr(38));  // the key's last bytes
  b.AddBytes(PR_SUBJECT_A, "subject");
  ZUV_RowRef row = b.Build();

  EXPECT_TRUE(row->KeyView().binary);
  EXPECT_EQ(row->KeyView().bytes, entry);
  EXPECT_EQ(row->Key(), Hex(entry));
  EXPECT_TRUE(row->KeyEquals(Hex(entry)));
  std::string lower = Hex(entry);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_FALSE(row->KeyEquals(lower)) << "keys compare byte for byte as text";
  EXPECT_FALSE(row->KeyEquals(Hex(entry).substr(2)));

  ZUV_CellView v;
  ASSERT_TRUE(row->Find(kInstanceKeyTag, &v));
  EXPECT_EQ(v.bytes, entry.substr(38)) << "the instance key reads whole";
  ASSERT_TRUE(row->Find(kRowKeyTag, &v));
  EXPECT_TRUE(v.binary_key);
  ASSERT_TRUE(row->Find(PR_SUBJECT_A, &v));
  EXPECT_EQ(v.bytes, "subject");

  // A key given as hex text is the same row key; other text stays text.
  ZUV_RowRef same = KeyRow(Hex(entry), 1);
  EXPECT_EQ(CompareRowKeys(same->KeyView(), row->KeyView()), 0);
  for (const char* text : {"K5", "00ab", "ABC", ""}) {
    ZUV_RowRef r = KeyRow(text, 1);
    EXPECT_FALSE(r->KeyView().binary) << text;
    EXPECT_EQ(r->Key(), text);
  }

  // A merge keeps the key and the instance key as they were.
  ZUV_RowBuilder merged;
  merged.AddNumber(PR_IMPORTANCE, 2);
  merged.AddMissingFrom(*row);
  ZUV_RowRef after = merged.Build();
  EXPECT_EQ(after->Key(), Hex(entry));
  ASSERT_TRUE(after->Find(kInstanceKeyTag, &v));
  EXPECT_EQ(v.bytes, entry.substr(38));
}

TEST(RowKeyTest, BinaryAndTextKeysOrderAsTheirText) {
  const std::vector<std::string> texts = {"00", "0A", "0A00", "1", "9F", "A0", "AB", "K1", "K10", "K2", "a"};
  std::string storage;
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = 0; j < texts.size(); ++j) {
      std::string s1, s2;
      const ZUV_RowKey a = RowKeyFromText(texts[i], &s1);
      const ZUV_RowKey b = RowKeyFromText(texts[j], &s2);
      const int want = texts[i] < texts[j] ? -1 : (texts[i] > texts[j] ? 1 : 0);
      const int got = CompareRowKeys(a, b);
      EXPECT_EQ((got > 0) - (got < 0), want) << texts[i] << " vs " << texts[j];
    }
  }
}

TEST(RowKeyTest, RowsWithManyTagsKeepThemAll) {
  ZUV_RowBuilder b;
  b.AddBytes(kRowKeyTag, "0AFF");
  for (ULONG id = 0; id < 300; ++id) b.AddNumber(PROP_TAG(PT_LONG, 0x8000 + id), static_cast<LONG>(id));
  ZUV_RowRef row = b.Build();
  ASSERT_EQ(row->Count(), 301u);
  for (ULONG id = 0; id < 300; id += 37) {
    ZUV_CellView v;
    ASSERT_TRUE(row->Find(PROP_TAG(PT_LONG, 0x8000 + id), &v));
    EXPECT_EQ(v.number, static_cast<int64_t>(id));
  }
  EXPECT_EQ(row->Key(), "0AFF");
}

TEST(RowIndexTest, RowsComeOutInKeyOrderWhateverTheInsertionOrder) {
  // Little-endian IDs: consecutive messages land all over the key order.
  std::vector<std::string> keys;
  for (uint64_t id = 1; id <= 5000; ++id) keys.push_back(Hex(EntryId(id)));
  std::vector<std::string> shuffled = keys;
  std::mt19937 random(7);
  std::shuffle(shuffled.begin(), shuffled.end(), random);

  ZUV_RowIndex index;
  for (size_t i = 0; i < shuffled.size(); ++i) EXPECT_FALSE(index.Put(KeyRow(shuffled[i], static_cast<LONG>(i))));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(index.Size(), keys.size());
  EXPECT_EQ(KeysInOrder(index), keys);

  // A key of another store shares less of the first part: still in order,
  // and the keys before it are still found.
  const std::string other = Hex(EntryId(3, 'A'));
  EXPECT_FALSE(index.Put(KeyRow(other, -1)));
  std::string storage;
  for (const std::string& k : {keys.front(), keys[2500], keys.back(), other}) {
    const ZUV_RowRef* found = index.Find(RowKeyFromText(k, &storage));
    ASSERT_NE(found, nullptr) << k;
    EXPECT_EQ((*found)->Key(), k);
  }
  EXPECT_EQ(KeysInOrder(index).front(), other);

  // Replacing hands back the row replaced; the size stays.
  ZUV_RowRef old = index.Put(KeyRow(keys[10], 99));
  ASSERT_TRUE(old);
  EXPECT_EQ(index.Size(), keys.size() + 1);
  ZUV_CellView v;
  ASSERT_TRUE((*index.Find(RowKeyFromText(keys[10], &storage)))->Find(PR_IMPORTANCE, &v));
  EXPECT_EQ(v.number, 99);

  // Erasing every other key, then packing, keeps the order of the rest.
  std::vector<std::string> left;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i % 2 == 0) {
      EXPECT_TRUE(index.Erase(RowKeyFromText(keys[i], &storage)));
    } else {
      left.push_back(keys[i]);
    }
  }
  EXPECT_FALSE(index.Erase(RowKeyFromText(keys[0], &storage))) << "already gone";
  index.Compact();
  std::vector<std::string> now = KeysInOrder(index);
  ASSERT_EQ(now.size(), left.size() + 1);
  EXPECT_EQ(now.front(), other);
  EXPECT_TRUE(std::equal(left.begin(), left.end(), now.begin() + 1));
  EXPECT_EQ(index.Find(RowKeyFromText(keys[0], &storage)), nullptr);
}

TEST(RowIndexTest, ForEachStopsWhenAsked) {
  ZUV_RowIndex index;
  for (int i = 0; i < 2000; ++i) index.Put(KeyRow("K" + std::to_string(10000 + i), i));
  int seen = 0;
  index.ForEach([&](const ZUV_RowRef&) { return ++seen < 700; });
  EXPECT_EQ(seen, 700);
}

TEST(RowIndexTest, InsertStoresNewKeysInOrderAndKeepsTheRowOfAKnownKey) {
  ZUV_RowIndex index;
  std::vector<uint64_t> ids;
  for (uint64_t i = 1; i <= 3000; ++i) ids.push_back(i * 7919 % 5003);
  for (uint64_t id : ids) EXPECT_EQ(index.Insert(KeyRow(Hex(EntryId(id)), static_cast<LONG>(id))), nullptr);
  EXPECT_EQ(index.Size(), ids.size());
  const ZUV_RowRef again = KeyRow(Hex(EntryId(ids[1234])), -1);
  const ZUV_RowRef* kept = index.Insert(again);
  ASSERT_NE(kept, nullptr);
  ZUV_CellView n;
  ASSERT_TRUE((*kept)->Find(PR_IMPORTANCE, &n));
  EXPECT_EQ(n.number, static_cast<int64_t>(ids[1234])) << "the stored row stays";
  EXPECT_EQ(index.Size(), ids.size());
  std::vector<std::string> expected;
  for (uint64_t id : ids) expected.push_back(Hex(EntryId(id)));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(KeysInOrder(index), expected);
}

TEST(RowIndexTest, KeysAlikeInTheirFirstBytesAfterTheSharedPartStillOrderAndAreFound) {
  // IDs equal in their low 32 bits differ only past the 4 bytes the index
  // compares first.
  std::vector<std::string> keys;
  for (uint64_t high = 0; high < 40; ++high) {
    for (uint64_t low : {1ull, 2ull, 0x01000000ull, 0xFFFFFFFFull}) keys.push_back(Hex(EntryId(high << 32 | low)));
  }
  keys.push_back(Hex(EntryId(5).substr(0, 40)));  // shorter: a prefix of others' shared part
  std::vector<std::string> shuffled = keys;
  std::mt19937 random(11);
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  ZUV_RowIndex index;
  for (size_t i = 0; i < shuffled.size(); ++i) EXPECT_EQ(index.Insert(KeyRow(shuffled[i], static_cast<LONG>(i))), nullptr);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(KeysInOrder(index), keys);
  std::string storage;
  for (size_t i = 0; i < shuffled.size(); ++i) {
    const ZUV_RowRef* found = index.Find(RowKeyFromText(shuffled[i], &storage));
    ASSERT_NE(found, nullptr) << shuffled[i];
    ZUV_CellView n;
    ASSERT_TRUE((*found)->Find(PR_IMPORTANCE, &n));
    EXPECT_EQ(n.number, static_cast<int64_t>(i));
  }
  EXPECT_EQ(index.Find(RowKeyFromText(Hex(EntryId(7ull << 32 | 3)), &storage)), nullptr);
}
