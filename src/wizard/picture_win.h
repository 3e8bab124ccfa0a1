#pragma once
#include <windows.h>

#include <cstddef>

namespace wizard {

// Loads an image file held in memory through the system's picture loader and
// returns a copy the caller owns: a bitmap (imageType IMAGE_BITMAP) or an icon
// (IMAGE_ICON). Null for empty bytes, a failed load or any other kind.
HANDLE LoadPictureFromBytes(const void* bytes, size_t size, UINT* imageType);

// The bytes of an RCDATA resource of this module, or null.
const void* ResourceBytes(int id, size_t* size);

}  // namespace wizard
