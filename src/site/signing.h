#pragma once
// Whether this updater was built with the vendor's key, and the check it
// makes with it. An updater built without one never installs a verifier, and
// every step then behaves as it always did.
#include <string_view>

namespace engine {

class DocumentVerifier {
 public:
  virtual ~DocumentVerifier() = default;
  // Whether `signature` (r||s) is the vendor's ECDSA P-256 signature over
  // the SHA-256 of `document`, exactly as served. Any thread may call it.
  virtual bool Verify(std::string_view document, std::string_view signature) const = 0;
};

// Installed once at start-up, before the first worker; the verifier lives
// for the rest of the process.
void UseDocumentVerifier(const DocumentVerifier* verifier);
// Null in an updater built without a key.
const DocumentVerifier* SigningVerifier();

}  // namespace engine
