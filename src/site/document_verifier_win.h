#pragma once
// The vendor's signature check through the system's cryptography provider.
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_bcrypt_win.h"
#include "site/signing.h"

namespace engine {

class CngDocumentVerifier : public DocumentVerifier {
 public:
  // From the PEM text of a P-256 SubjectPublicKeyInfo. A key that cannot be
  // read or imported leaves Loaded() false, and every signature is refused.
  explicit CngDocumentVerifier(std::string_view pem);
  bool Loaded() const { return key_.valid(); }
  bool Verify(std::string_view document, std::string_view signature) const override;

 private:
  base::UniqueAlgorithm algorithm_;
  base::UniqueKey key_;
};

// The PEM texts of the keys the updater was built with (its public-key
// resources), in the order given to the build; none when it holds none.
std::vector<std::string> EmbeddedPublicKeyPems();

}  // namespace engine
