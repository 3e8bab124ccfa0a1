#pragma once
// Owners of the system cryptography provider's handles (CNG), one per kind.
#include <windows.h>
#include <bcrypt.h>

#include "base/unique_handle_win.h"

namespace base {

inline void CloseAlgorithm(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
inline void DestroyKey(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
inline void DestroyHash(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }

using UniqueAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using UniqueKey = UniqueHandle<BCRYPT_KEY_HANDLE, DestroyKey>;
using UniqueHash = UniqueHandle<BCRYPT_HASH_HANDLE, DestroyHash>;

}  // namespace base
