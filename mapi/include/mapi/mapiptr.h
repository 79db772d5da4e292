// mapiptr.h: small RAII holders for MAPI interfaces, buffers and row sets,
// and stack-built property tag arrays.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "mapi/mapix.h"

// Holds one reference to a MAPI interface and releases it at scope end.
template <class T>
class MapiPtr {
 public:
  MapiPtr() = default;
  explicit MapiPtr(T* p) : p_(p) {}  // adopts the reference
  MapiPtr(const MapiPtr&) = delete;
  MapiPtr& operator=(const MapiPtr&) = delete;
  MapiPtr(MapiPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  MapiPtr& operator=(MapiPtr&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~MapiPtr() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held first.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  IUnknown** put_unknown() { return reinterpret_cast<IUnknown**>(put()); }
  T* release() { return std::exchange(p_, nullptr); }
  void reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

// Frees a MAPIAllocateBuffer chain at scope end.
template <class T>
class MapiBuffer {
 public:
  MapiBuffer() = default;
  explicit MapiBuffer(T* p) : p_(p) {}
  MapiBuffer(const MapiBuffer&) = delete;
  MapiBuffer& operator=(const MapiBuffer&) = delete;
  ~MapiBuffer() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_ != nullptr) MAPIFreeBuffer(std::exchange(p_, nullptr));
  }

 private:
  T* p_ = nullptr;
};

// Frees a row set with FreeProws at scope end.
class MapiRows {
 public:
  MapiRows() = default;
  MapiRows(const MapiRows&) = delete;
  MapiRows& operator=(const MapiRows&) = delete;
  ~MapiRows() { reset(); }
  SRowSet* get() const { return p_; }
  SRowSet* operator->() const { return p_; }
  SRowSet** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_ != nullptr) FreeProws(std::exchange(p_, nullptr));
  }

 private:
  SRowSet* p_ = nullptr;
};

// A property tag array of n tags on the stack, for SetColumns and GetProps.
template <size_t N>
struct PropTags {
  ULONG cValues = N;
  ULONG aulPropTag[N];
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(this); }
};
template <class... Tags>
PropTags<sizeof...(Tags)> MakePropTags(Tags... tags) {
  return PropTags<sizeof...(Tags)>{sizeof...(Tags), {static_cast<ULONG>(tags)...}};
}


namespace zuvstore {

// The text GetLastError of obj (any MAPI object or table) records for hr;
// "" when it has none.
template <class T>
std::string LastErrorText(T* obj, HRESULT hr) {
  MAPIERROR* error = nullptr;
  if (obj == nullptr || FAILED(obj->GetLastError(hr, 0, &error)) || error == nullptr) return "";
  std::string text = error->lpszError != nullptr ? error->lpszError : "";
  MAPIFreeBuffer(error);
  return text;
}

}  // namespace zuvstore
