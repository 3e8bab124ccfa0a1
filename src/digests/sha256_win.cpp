#include "digests/sha256_win.h"

#include <climits>

namespace files {
namespace {

// Opened once for the whole process: the provider is safe to share between
// threads, and opening it costs more than hashing a small file.
BCRYPT_ALG_HANDLE Algorithm() {
  static const base::UniqueAlgorithm algorithm = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      handle = nullptr;
    }
    return base::UniqueAlgorithm(handle);
  }();
  return algorithm.get();
}

}  // namespace

CngSha256::CngSha256() {
  BCRYPT_HASH_HANDLE handle = nullptr;
  // The provider keeps the hash object itself when given no buffer.
  if (Algorithm() && BCRYPT_SUCCESS(BCryptCreateHash(Algorithm(), &handle, nullptr, 0, nullptr, 0, 0))) {
    hash_.reset(handle);
  }
}

bool CngSha256::Update(const void* data, size_t size) {
  if (!hash_) return false;
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  // The length is a ULONG; pieces of more are handed over in parts.
  while (size > 0) {
    const ULONG piece = size > ULONG_MAX / 2 ? ULONG_MAX / 2 : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptHashData(hash_.get(), bytes, piece, 0))) {
      hash_.reset();
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool CngSha256::Finish(Sha256Digest* digest) {
  if (!hash_) return false;
  const bool ok =
      BCRYPT_SUCCESS(BCryptFinishHash(hash_.get(), digest->data(), static_cast<ULONG>(digest->size()), 0));
  hash_.reset();  // a finished hash takes no more data
  return ok;
}

bool CngSha256Of(const void* data, size_t size, Sha256Digest* digest) {
  CngSha256 sha;
  return sha.Update(data, size) && sha.Finish(digest);
}

}  // namespace files
