// Tests of MAPI allocation chains and of the MAPIERROR records LastError
// hands out as one chain. Leaks and stray frees show up under ASan.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "com.h"
#include "mapi/mapix.h"
#include "propval.h"

namespace zuvstore {
namespace {

TEST(AllocTest, ChildrenLiveAndDieWithTheirParent) {
  void* parent = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(40, &parent), S_OK);
  char* children[100];
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(MAPIAllocateMore(static_cast<ULONG>(i + 24), parent,
                               reinterpret_cast<void**>(&children[i])),
              S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(children[i]) % 16, 0u);
    for (int k = 0; k < 24; ++k) ASSERT_EQ(children[i][k], 0) << i;
    std::memset(children[i], 0xAB, static_cast<size_t>(i + 24));
  }
  // A child is no chain head, and freeing it alone leaves it to its parent.
  void* grandchild = reinterpret_cast<void*>(1);
  EXPECT_EQ(MAPIAllocateMore(8, children[0], &grandchild), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(grandchild, nullptr);
  MAPIFreeBuffer(children[1]);
  std::strcpy(children[1], "still");
  EXPECT_STREQ(children[1], "still");
  EXPECT_EQ(MAPIFreeBuffer(parent), 0u);  // and every child with it
}

TEST(AllocTest, SpareBytesServeSmallChildrenThenTheHeapTakesOver) {
  void* parent = nullptr;
  ASSERT_EQ(AllocateBufferWithSpare(24, 200, &parent), S_OK);
  std::memset(parent, 0x11, 24);
  // Children from the spare bytes and from the heap look alike: aligned,
  // zeroed, disjoint, no chain heads of their own, gone with the parent.
  char* children[8];
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(MAPIAllocateMore(40, parent, reinterpret_cast<void**>(&children[i])), S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(children[i]) % 16, 0u);
    for (int k = 0; k < 40; ++k) ASSERT_EQ(children[i][k], 0) << i;
    std::memset(children[i], 'a' + i, 40);
    void* grandchild = nullptr;
    EXPECT_EQ(MAPIAllocateMore(8, children[i], &grandchild), MAPI_E_INVALID_PARAMETER) << i;
    MAPIFreeBuffer(children[i]);  // a child: nothing happens
  }
  for (int i = 0; i < 8; ++i) {
    for (int k = 0; k < 40; ++k) ASSERT_EQ(children[i][k], 'a' + i) << i;
  }
  for (int k = 0; k < 24; ++k) ASSERT_EQ(static_cast<char*>(parent)[k], 0x11);
  // Larger than what is left: a block of its own.
  char* big = nullptr;
  ASSERT_EQ(MAPIAllocateMore(5000, parent, reinterpret_cast<void**>(&big)), S_OK);
  std::memset(big, 0x22, 5000);
  EXPECT_EQ(MAPIFreeBuffer(parent), 0u);

  void* plain = nullptr;  // no spare bytes: the ordinary buffer
  ASSERT_EQ(AllocateBufferWithSpare(16, 0, &plain), S_OK);
  void* child = nullptr;
  ASSERT_EQ(MAPIAllocateMore(16, plain, &child), S_OK);
  EXPECT_EQ(MAPIFreeBuffer(plain), 0u);
  EXPECT_EQ(AllocateBufferWithSpare(16, 16, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(AllocTest, NullArguments) {
  EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(MAPIAllocateMore(8, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
  // Without a parent, MAPIAllocateMore starts a chain of its own.
  void* head = nullptr;
  ASSERT_EQ(MAPIAllocateMore(8, nullptr, &head), S_OK);
  void* child = nullptr;
  EXPECT_EQ(MAPIAllocateMore(8, head, &child), S_OK);
  MAPIFreeBuffer(head);
}

TEST(AllocTest, FreeProwsFreesEveryRowChain) {
  LPSRowSet rows = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(CbNewSRowSet(3), reinterpret_cast<void**>(&rows)), S_OK);
  rows->cRows = 3;
  for (ULONG i = 0; i < 3; ++i) {
    ASSERT_EQ(
        MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<void**>(&rows->aRow[i].lpProps)),
        S_OK);
    rows->aRow[i].cValues = 1;
    void* text = nullptr;
    ASSERT_EQ(MAPIAllocateMore(16, rows->aRow[i].lpProps, &text), S_OK);
    rows->aRow[i].lpProps[0].Value.lpszA = static_cast<LPSTR>(text);
  }
  FreeProws(rows);
  FreeProws(nullptr);
}

TEST(LastErrorTest, RecordComesBackAsOneChain) {
  LastError error;
  EXPECT_EQ(error.Set(MAPI_E_NOT_FOUND, "folder \"Inbox\" has no child \"x\""), MAPI_E_NOT_FOUND);

  LPMAPIERROR rec = nullptr;
  ASSERT_EQ(error.Get(MAPI_E_NOT_FOUND, 0, &rec), S_OK);
  EXPECT_STREQ(rec->lpszError, "folder \"Inbox\" has no child \"x\"");
  EXPECT_STREQ(rec->lpszComponent, "ZUV Store");
  EXPECT_EQ(rec->ulVersion, 0u);
  MAPIFreeBuffer(rec);

  // Another code gets its generic text.
  ASSERT_EQ(error.Get(MAPI_E_NO_ACCESS, 0, &rec), S_OK);
  EXPECT_EQ(std::string(rec->lpszError).rfind("MAPI_E_NO_ACCESS", 0), 0u) << rec->lpszError;
  MAPIFreeBuffer(rec);

  EXPECT_EQ(error.Get(MAPI_E_NOT_FOUND, 0, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(LastErrorTest, CodesStartWithTheirNames) {
  const std::pair<HRESULT, const char*> names[] = {
      {MAPI_E_NOT_FOUND, "MAPI_E_NOT_FOUND"},
      {MAPI_E_CALL_FAILED, "MAPI_E_CALL_FAILED"},
      {MAPI_E_TOO_COMPLEX, "MAPI_E_TOO_COMPLEX"},
      {MAPI_E_INVALID_TYPE, "MAPI_E_INVALID_TYPE"},
      {MAPI_W_ERRORS_RETURNED, "MAPI_W_ERRORS_RETURNED"},
      {S_OK, "S_OK"},
  };
  for (const auto& [code, name] : names) {
    EXPECT_EQ(std::string(ResultText(code)).rfind(name, 0), 0u) << ResultText(code);
  }
  EXPECT_NE(ResultText(static_cast<HRESULT>(0x8004FFFFu)), nullptr);
}

}  // namespace
}  // namespace zuvstore
