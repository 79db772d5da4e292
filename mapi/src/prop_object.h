// prop_object.h: IMAPIProp behaviour shared by stores, folders, messages and
// attachments.
//
// A PropObject holds the object's stored properties (props_) and answers
// GetProps from them and from the properties it computes. SetProps and
// DeleteProps change props_ only; SaveChanges (each subclass's) writes them.
// Named properties resolve in the store (named_props.h). OpenProperty gives
// an IStream over one binary or string property (prop_stream.h).
//
// Threading: props_, dirty_ and the subclass's own state are guarded by mu_.
// Computed() may run database reads; it is called with mu_ held, so it must
// not call back into this object.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "com.h"
#include "large_value.h"
#include "propval.h"
#include "store_context.h"

namespace zuvstore {

// The IMAPIProp methods that do not depend on the interface, for reuse.
class PropCore {
 public:
  explicit PropCore(std::shared_ptr<StoreContext> store) : store_(std::move(store)) {}
  virtual ~PropCore() = default;

  // Fills *out from props_ and computed values. tags null: every stored
  // property plus the computed ones in ComputedIds().
  HRESULT GetPropsImpl(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out);
  HRESULT GetPropListImpl(ULONG flags, LPSPropTagArray* out);
  HRESULT SetPropsImpl(ULONG n, LPSPropValue values, LPSPropProblemArray* problems);
  HRESULT DeletePropsImpl(LPSPropTagArray tags, LPSPropProblemArray* problems);
  HRESULT GetIDsFromNamesImpl(ULONG n, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out);
  HRESULT GetNamesFromIDsImpl(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                              LPMAPINAMEID** out);

  // Reads or replaces one stored value (for property streams). A value kept
  // as a prefix reads as that prefix, marked truncated; FindLarge says where
  // its bytes are.
  bool ReadStored(uint16_t prop_id, StoredProp* out);
  HRESULT WriteStored(uint16_t prop_id, StoredProp value);
  bool FindLarge(uint16_t prop_id, LargeRef* out);
  // Replaces prop_id with a value of type whose bytes are in ref; props_
  // keeps prefix (its first bytes) marked truncated.
  HRESULT WriteLarge(uint16_t prop_id, ULONG type, std::string prefix, LargeRef ref);
  // Reads up to n bytes at offset of a value FindLarge gave.
  HRESULT ReadLargeRange(const LargeRef& ref, uint16_t prop_id, int64_t offset, void* buf, size_t n,
                         size_t* got);
  // True when written streams may keep large values out of memory (the
  // object's save writes them with WriteChunked); false keeps them whole.
  virtual bool KeepsLargeOutside() const { return false; }

  LastError& error() { return error_; }
  const std::shared_ptr<StoreContext>& store() const { return store_; }

 protected:
  // A value the object derives (entry IDs, counts); REQUIRES: mu_ held.
  virtual bool Computed(uint16_t prop_id, StoredProp* out) = 0;
  // Computed IDs listed by GetPropList and GetProps(null).
  virtual const std::vector<uint16_t>& ComputedIds() const = 0;
  // False when SetProps/DeleteProps may not change prop_id (computed ones).
  virtual bool Writable(uint16_t prop_id) const;
  // The whole of a value kept as a prefix (GetProps); REQUIRES: mu_ held.
  HRESULT LoadWholeLocked(uint16_t prop_id, const StoredProp& head, StoredProp* out);
  // Called after props_ changed (with mu_ held), e.g. to write them at once;
  // a failure is the caller's result.
  virtual HRESULT Changed() { return S_OK; }

  std::shared_ptr<StoreContext> store_;
  std::mutex mu_;
  PropMap props_;       // guarded by mu_
  LargeMap large_;      // guarded by mu_; bytes of the truncated values in props_
  bool dirty_ = false;  // guarded by mu_
  bool read_only_ = false;  // constant after open: opened without MAPI_MODIFY
  LastError error_;
};

// Binds PropCore to one interface: subclasses implement the rest.
template <class Interface>
class PropObject : public ComObject<Interface>, public PropCore {
 public:
  explicit PropObject(std::shared_ptr<StoreContext> store) : PropCore(std::move(store)) {}

  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    return error_.Get(hr, flags, out);
  }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    return GetPropsImpl(tags, flags, count, out);
  }
  HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override { return GetPropListImpl(flags, out); }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override;
  HRESULT SetProps(ULONG n, LPSPropValue values, LPSPropProblemArray* problems) override {
    return SetPropsImpl(n, values, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    return DeletePropsImpl(tags, problems);
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                          LPMAPINAMEID** out) override {
    return GetNamesFromIDsImpl(tags, guid, flags, count, out);
  }
  HRESULT GetIDsFromNames(ULONG n, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) override {
    return GetIDsFromNamesImpl(n, names, flags, out);
  }

 protected:
  ~PropObject() override = default;
};

// An IStream over one property of owner (kept alive by the stream). flags:
// MAPI_CREATE starts empty, MAPI_MODIFY allows writes.
// Strings, and every value of an object that keeps large values whole, are
// held in memory: reads see the value as it was at open and Commit puts the
// written bytes back with WriteStored. Binary values of an object that keeps
// them outside (KeepsLargeOutside) are never held whole: a read-only stream
// reads the value kept out of line a chunk at a time (a save by another
// object meanwhile shows through); a write stream writes to a spool file,
// and Commit hands the spool to the object (WriteLarge).
[[nodiscard]] HRESULT OpenPropStream(IUnknown* owner, PropCore* core, ULONG tag, ULONG flags,
                                     IStream** out);

template <class Interface>
HRESULT PropObject<Interface>::OpenProperty(ULONG tag, LPCIID iid, ULONG /*options*/, ULONG flags,
                                            LPUNKNOWN* out) {
  if (out == nullptr || iid == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!SameIid(*iid, IID_IStream)) return error_.Set(MAPI_E_INTERFACE_NOT_SUPPORTED, "OpenProperty supports IID_IStream only");
  IStream* stream = nullptr;
  HRESULT hr = OpenPropStream(static_cast<Interface*>(this), this, tag, flags, &stream);
  if (FAILED(hr)) return hr;
  *out = stream;
  return S_OK;
}

}  // namespace zuvstore
