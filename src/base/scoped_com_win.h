#pragma once
// Per-thread COM initialisation (single-threaded apartment). CoUninitialize
// runs only when CoInitialize succeeded, S_FALSE included: a thread that was
// already initialised still took a count that must be given back.
#include <windows.h>
#include <objbase.h>

namespace base {

class ScopedCom {
 public:
  ScopedCom() : result_(CoInitialize(nullptr)) {}
  ~ScopedCom() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ScopedCom(const ScopedCom&) = delete;
  ScopedCom& operator=(const ScopedCom&) = delete;

  bool Ok() const { return SUCCEEDED(result_); }
  HRESULT Result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace base
