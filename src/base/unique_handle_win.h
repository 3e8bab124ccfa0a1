#pragma once
// One move-only owner per kind of Windows handle, declared in a line.
#include <windows.h>

#include <utility>

namespace base {

// Most handle kinds are invalid as zero; the rest name their own value.
template <typename T>
T ZeroHandle() {
  return T{};
}

template <typename T, void (*Close)(T), T (*Invalid)() = ZeroHandle<T>>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T value) : value_(value) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  T get() const { return value_; }
  bool valid() const { return value_ != InvalidValue(); }
  explicit operator bool() const { return valid(); }
  T release() { return std::exchange(value_, InvalidValue()); }
  void reset(T value = InvalidValue()) {
    if (valid()) Close(value_);
    value_ = value;
  }

 private:
  static T InvalidValue() { return Invalid(); }
  T value_ = InvalidValue();
};

inline void CloseKernelHandle(HANDLE h) { CloseHandle(h); }
inline void DeleteBitmap(HBITMAP h) { DeleteObject(h); }
inline void DeleteBrush(HBRUSH h) { DeleteObject(h); }
inline void CloseFind(HANDLE h) { FindClose(h); }
inline HANDLE InvalidFileHandle() { return INVALID_HANDLE_VALUE; }
inline void UnmapView(void* view) { UnmapViewOfFile(view); }

using UniqueKernelHandle = UniqueHandle<HANDLE, CloseKernelHandle>;
using UniqueFileHandle = UniqueHandle<HANDLE, CloseKernelHandle, InvalidFileHandle>;
using UniqueFindHandle = UniqueHandle<HANDLE, CloseFind, InvalidFileHandle>;
using UniqueView = UniqueHandle<void*, UnmapView>;
using UniqueBitmap = UniqueHandle<HBITMAP, DeleteBitmap>;
using UniqueBrush = UniqueHandle<HBRUSH, DeleteBrush>;

}  // namespace base
