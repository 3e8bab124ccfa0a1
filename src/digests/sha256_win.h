#pragma once
// SHA-256 through the system's cryptography provider (CNG).
#include "base/unique_bcrypt_win.h"
#include "digests/sha256.h"

namespace files {

// A fresh hash; when the provider cannot make one every call fails.
class CngSha256 : public Sha256 {
 public:
  CngSha256();
  bool Update(const void* data, size_t size) override;
  bool Finish(Sha256Digest* digest) override;

 private:
  base::UniqueHash hash_;
};

// The SHA-256 of bytes in memory; false when the provider failed.
bool CngSha256Of(const void* data, size_t size, Sha256Digest* digest);

}  // namespace files
