// mapi_sink.h: CMAPISink, the advise sink that logs MAPI notifications and
// hands each batch to a callback.
//
// Lifetime: created with reference count 0; the Advise call that registers
// it takes the first reference and the store releases it after Unadvise; the
// sink deletes itself at 0. The registrant must not delete it.
// Threading: OnNotify runs on the store's notification threads, concurrently
// with the owner's threads. The sink keeps no state but its atomic count;
// the callback does its own locking.
#pragma once

#include <atomic>
#include <string>

#include "mapi/mapix.h"

// Called once per batch, after the sink has logged every notification.
// notifications are valid for the call only. The return value is ignored.
using ZUV_NotifyCallback = LONG (*)(void* context, ULONG count, LPNOTIFICATION notifications);

class CMAPISink final : public IMAPIAdviseSink {
 public:
  // callback may be null (the sink then only logs); context is not owned.
  // storeShortId and folderShortId are the log forms of the watched table's
  // store and folder (the "%s:%s" of the table lines).
  CMAPISink(ZUV_NotifyCallback callback, void* context, std::string storeShortId = {},
            std::string folderShortId = {});
  CMAPISink(const CMAPISink&) = delete;
  CMAPISink& operator=(const CMAPISink&) = delete;

  // IID_IMAPIAdviseSink and IID_IUnknown only; else E_NOINTERFACE, *out null.
  HRESULT QueryInterface(REFIID riid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;  // deletes at 0
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override;

 private:
  ~CMAPISink() override = default;

  const ZUV_NotifyCallback callback_;
  void* const context_;
  const std::string store_short_id_;
  const std::string folder_short_id_;
  std::atomic<ULONG> ref_count_{0};
};
