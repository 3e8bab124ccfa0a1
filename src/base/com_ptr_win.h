#pragma once
// Owners for the COM values the automation wrapper handles: an interface
// reference, a VARIANT and a BSTR. Move-only, so nothing is released twice.
#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace base {

// Holds one reference to a COM interface.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }

  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Drops the current reference and hands out the slot for an out-parameter.
  T** Put() {
    Reset();
    return &ptr_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  void Reset() {
    if (ptr_ != nullptr) std::exchange(ptr_, nullptr)->Release();
  }

 private:
  T* ptr_ = nullptr;
};

// Owns a VARIANT and clears it when done.
class VariantHolder {
 public:
  VariantHolder() { VariantInit(&value_); }
  ~VariantHolder() { VariantClear(&value_); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
  VariantHolder(VariantHolder&& other) noexcept : value_(other.value_) {
    VariantInit(&other.value_);
  }
  VariantHolder& operator=(VariantHolder&& other) noexcept {
    if (this != &other) {
      VariantClear(&value_);
      value_ = other.value_;
      VariantInit(&other.value_);
    }
    return *this;
  }

  const VARIANT& Get() const { return value_; }
  VARIANT& Get() { return value_; }
  VARTYPE Type() const { return V_VT(&value_); }
  bool Empty() const { return V_VT(&value_) == VT_EMPTY; }

  // Clears the current value and hands out the variant for an out-parameter.
  VARIANT* Put() {
    VariantClear(&value_);
    return &value_;
  }

 private:
  VARIANT value_;
};

// Owns a BSTR.
class BstrHolder {
 public:
  BstrHolder() = default;
  explicit BstrHolder(std::wstring_view text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~BstrHolder() { SysFreeString(value_); }
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  BstrHolder(BstrHolder&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  BstrHolder& operator=(BstrHolder&& other) noexcept {
    if (this != &other) {
      SysFreeString(value_);
      value_ = std::exchange(other.value_, nullptr);
    }
    return *this;
  }

  BSTR Get() const { return value_; }
  // Gives up ownership, e.g. to a VARIANT that will free it.
  BSTR Detach() { return std::exchange(value_, nullptr); }

 private:
  BSTR value_ = nullptr;
};

}  // namespace base
