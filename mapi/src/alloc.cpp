// alloc.cpp: MAPI's allocation chains and the row-set helpers.
//
// Every block carries a header in front of it. A block from MAPIAllocateMore
// is linked into its parent's list and freed with it; MAPIFreeBuffer on a
// parent frees the whole chain. Freeing a child on its own does nothing, as
// children belong to their parent.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "mapi/mapix.h"

namespace {

constexpr uint32_t kParentMagic = 0x5A55564Du;  // "ZUVM"
constexpr uint32_t kChildMagic = 0x5A555643u;   // "ZUVC"

struct alignas(16) BlockHeader {
  BlockHeader* next;   // next child in the parent's list
  BlockHeader* first;  // parent only: its first child
  uint32_t magic;
  uint32_t size;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "blocks stay 16-byte aligned");

// Children are linked under a lock chosen by the parent's address, so
// unrelated chains rarely contend.
std::mutex g_chain_locks[16];
std::mutex& ChainLock(const void* parent) {
  return g_chain_locks[(reinterpret_cast<uintptr_t>(parent) >> 4) % 16];
}

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

}  // namespace

extern "C" {

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  auto* h = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + cbSize));
  if (h == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->magic = kParentMagic;
  h->size = cbSize;
  *lppBuffer = h + 1;
  return S_OK;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (lpObject == nullptr) return MAPIAllocateBuffer(cbSize, lppBuffer);
  BlockHeader* parent = HeaderOf(lpObject);
  if (parent->magic == kChildMagic) return MAPI_E_INVALID_PARAMETER;  // not a chain head
  if (parent->magic != kParentMagic) return MAPI_E_INVALID_PARAMETER;
  auto* h = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + cbSize));
  if (h == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->magic = kChildMagic;
  h->size = cbSize;
  {
    std::lock_guard<std::mutex> lock(ChainLock(parent));
    h->next = parent->first;
    parent->first = h;
  }
  *lppBuffer = h + 1;
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer) {
  if (lpBuffer == nullptr) return 0;
  BlockHeader* h = HeaderOf(lpBuffer);
  if (h->magic != kParentMagic) return 0;  // a child, or not ours
  BlockHeader* child = h->first;
  while (child != nullptr) {
    BlockHeader* next = child->next;
    child->magic = 0;
    std::free(child);
    child = next;
  }
  h->magic = 0;
  std::free(h);
  return 0;
}

void FreeProws(LPSRowSet lpRows) {
  if (lpRows == nullptr) return;
  for (ULONG i = 0; i < lpRows->cRows; ++i) MAPIFreeBuffer(lpRows->aRow[i].lpProps);
  MAPIFreeBuffer(lpRows);
}

void FreePadrlist(LPADRLIST lpAdrlist) {
  if (lpAdrlist == nullptr) return;
  for (ULONG i = 0; i < lpAdrlist->cEntries; ++i) MAPIFreeBuffer(lpAdrlist->aEntries[i].lpProps);
  MAPIFreeBuffer(lpAdrlist);
}

HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  if (lpTable == nullptr || lppRows == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppRows = nullptr;
  HRESULT hr = S_OK;
  if (lpPropTags != nullptr && FAILED(hr = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return hr;
  if (lpRestriction != nullptr && FAILED(hr = lpTable->Restrict(lpRestriction, TBL_BATCH))) return hr;
  if (lpSortOrderSet != nullptr && FAILED(hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) {
    return hr;
  }
  if (FAILED(hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
  ULONG count = 0;
  if (FAILED(hr = lpTable->GetRowCount(0, &count))) return hr;
  if (crowsMax > 0 && count > static_cast<ULONG>(crowsMax)) return MAPI_E_TABLE_TOO_BIG;
  // One call takes every row: the count bounds it.
  return lpTable->QueryRows(static_cast<LONG>(count > 0 ? count : 1), 0, lppRows);
}

}  // extern "C"
