// com.h: reference counting, interface pointers and last-error records shared
// by the store's objects.
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "mapi/mapix.h"

namespace zuvstore {

inline bool SameIid(const IID& a, const IID& b) { return std::memcmp(&a, &b, sizeof(IID)) == 0; }

// Runs body; an exception from a library call (allocation, containers)
// becomes a result code, so none crosses the library boundary.
template <class Fn>
HRESULT Guarded(Fn&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return MAPI_E_CALL_FAILED;
  }
}

// Implements IUnknown for one interface. The creator holds the first
// reference; Release() deletes at zero. Subclasses list the further
// interfaces they answer to in Supports().
template <class Interface>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (SameIid(riid, IID_IUnknown) || Supports(riid)) {
      this->AddRef();
      *ppv = static_cast<Interface*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  ~ComObject() override = default;
  virtual bool Supports(REFIID riid) const = 0;

 private:
  std::atomic<ULONG> refs_{1};
};

// Holds one reference; releases it when replaced or destroyed.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : p_(p) {}  // adopts the reference
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {  // for out-parameters: releases the old one first
    reset();
    return &p_;
  }
  T* release() { return std::exchange(p_, nullptr); }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

// The last failure of an object, for GetLastError. Guarded by its own mutex.
class LastError {
 public:
  // Records text for hr and returns hr, so "return error_.Set(hr, ...)".
  HRESULT Set(HRESULT hr, std::string text);
  // Fills a MAPIERROR (one MAPIAllocateBuffer chain) with the text recorded
  // for hr, or a generic text. S_OK, or MAPI_E_NOT_ENOUGH_MEMORY.
  HRESULT Get(HRESULT hr, ULONG flags, LPMAPIERROR* out) const;

 private:
  mutable std::mutex mu_;
  HRESULT code_ = S_OK;   // guarded by mu_
  std::string text_;      // guarded by mu_
};

// A generic text for a result code ("MAPI_E_NOT_FOUND: not found").
const char* ResultText(HRESULT hr);

}  // namespace zuvstore
