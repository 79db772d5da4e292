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
#include "propval.h"

namespace {

constexpr uint32_t kParentMagic = 0x5A55564Du;  // "ZUVM"
constexpr uint32_t kChildMagic = 0x5A555643u;   // "ZUVC"

struct alignas(16) BlockHeader {
  BlockHeader* next;   // next child in the parent's list
  BlockHeader* first;  // parent only: its first child
  uint32_t magic;
  uint32_t size;
  // Parent only: bytes after the block kept for its children, and how many
  // of them are handed out (guarded by the parent's chain lock).
  uint32_t spare;
  uint32_t spare_used;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "blocks stay 16-byte aligned");

// Children are linked under a lock chosen by the parent's address, so
// unrelated chains rarely contend.
std::mutex g_chain_locks[16];
std::mutex& ChainLock(const void* parent) {
  return g_chain_locks[(reinterpret_cast<uintptr_t>(parent) >> 4) % 16];
}

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

size_t RoundUp16(size_t n) { return (n + 15) & ~static_cast<size_t>(15); }

// A child carved from the parent's spare bytes: a header of its own (so it
// reads as a child everywhere), zeroed like a calloc'd one. Null when the
// spare bytes are used up. Caller holds the parent's chain lock.
void* TakeSpare(BlockHeader* parent, ULONG cbSize) {
  const size_t need = sizeof(BlockHeader) + RoundUp16(cbSize);
  if (parent->spare - parent->spare_used < need) return nullptr;
  char* spare = reinterpret_cast<char*>(parent + 1) + RoundUp16(parent->size);
  auto* h = reinterpret_cast<BlockHeader*>(spare + parent->spare_used);
  parent->spare_used += static_cast<uint32_t>(need);
  h->magic = kChildMagic;
  h->size = cbSize;
  return h + 1;  // never linked: it goes with the parent's own block
}

}  // namespace

namespace zuvstore {

SCODE AllocateBufferWithSpare(ULONG cbSize, ULONG spare, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  const size_t body = spare > 0 ? RoundUp16(cbSize) + RoundUp16(spare) : cbSize;
  if (body > 0xFFFFFFF0u) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* h = static_cast<BlockHeader*>(std::calloc(1, sizeof(BlockHeader) + body));
  if (h == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->magic = kParentMagic;
  h->size = cbSize;
  h->spare = spare > 0 ? static_cast<uint32_t>(RoundUp16(spare)) : 0;
  *lppBuffer = h + 1;
  return S_OK;
}

}  // namespace zuvstore

extern "C" {

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  return zuvstore::AllocateBufferWithSpare(cbSize, 0, lppBuffer);
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  if (lpObject == nullptr) return MAPIAllocateBuffer(cbSize, lppBuffer);
  BlockHeader* parent = HeaderOf(lpObject);
  if (parent->magic == kChildMagic) return MAPI_E_INVALID_PARAMETER;  // not a chain head
  if (parent->magic != kParentMagic) return MAPI_E_INVALID_PARAMETER;
  if (parent->spare > 0) {
    std::lock_guard<std::mutex> lock(ChainLock(parent));
    if (void* p = TakeSpare(parent, cbSize)) {
      *lppBuffer = p;
      return S_OK;
    }
  }
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
