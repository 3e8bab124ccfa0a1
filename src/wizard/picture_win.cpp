#include "wizard/picture_win.h"

#include <ocidl.h>
#include <olectl.h>

#include <cstring>

#include "base/com_ptr_win.h"

namespace wizard {
namespace {

constexpr short kPictureTypeBitmap = PICTYPE_BITMAP;
constexpr short kPictureTypeIcon = PICTYPE_ICON;

class GlobalMemory {
 public:
  explicit GlobalMemory(size_t size) : memory_(GlobalAlloc(GMEM_MOVEABLE, size)) {}
  ~GlobalMemory() {
    if (memory_) GlobalFree(memory_);
  }
  GlobalMemory(const GlobalMemory&) = delete;
  GlobalMemory& operator=(const GlobalMemory&) = delete;
  HGLOBAL get() const { return memory_; }
  HGLOBAL release() {
    HGLOBAL memory = memory_;
    memory_ = nullptr;
    return memory;
  }

 private:
  HGLOBAL memory_;
};

bool ReadProperty(IDispatch* picture, DISPID id, VARTYPE type, base::VariantHolder& value) {
  DISPPARAMS none{};
  if (FAILED(picture->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.Put(), nullptr, nullptr)))
    return false;
  return SUCCEEDED(VariantChangeType(&value.Get(), &value.Get(), 0, type));
}

}  // namespace

HANDLE LoadPictureFromBytes(const void* bytes, size_t size, UINT* imageType) {
  if (!bytes || size == 0 || size > MAXLONG) return nullptr;
  GlobalMemory memory(size);
  if (!memory.get()) return nullptr;
  void* target = GlobalLock(memory.get());
  if (!target) return nullptr;
  std::memcpy(target, bytes, size);
  GlobalUnlock(memory.get());

  base::ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(memory.get(), TRUE, stream.Put()))) return nullptr;
  memory.release();  // the stream frees it now

  base::ComPtr<IDispatch> picture;
  if (FAILED(OleLoadPicture(stream.Get(), static_cast<LONG>(size), FALSE, IID_IPictureDisp,
                            picture.PutVoid())))
    return nullptr;

  base::VariantHolder handle;
  base::VariantHolder type;
  if (!ReadProperty(picture.Get(), DISPID_PICT_HANDLE, VT_I4, handle) ||
      !ReadProperty(picture.Get(), DISPID_PICT_TYPE, VT_I2, type))
    return nullptr;

  // The picture object owns its handle; hand out a copy that outlives it.
  auto* original = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(V_I4(&handle.Get())));
  switch (V_I2(&type.Get())) {
    case kPictureTypeBitmap:
      if (imageType) *imageType = IMAGE_BITMAP;
      return CopyImage(original, IMAGE_BITMAP, 0, 0, LR_COPYRETURNORG);
    case kPictureTypeIcon:
      if (imageType) *imageType = IMAGE_ICON;
      return CopyIcon(static_cast<HICON>(original));
    default:
      return nullptr;
  }
}

const void* ResourceBytes(int id, size_t* size) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);  // module memory: never freed
  if (!loaded) return nullptr;
  *size = SizeofResource(module, found);
  return LockResource(loaded);
}

}  // namespace wizard
