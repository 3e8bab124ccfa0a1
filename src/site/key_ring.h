#pragma once
// The vendor's keys an updater is built with. A vendor that changes its key
// ships an updater that knows the old and the new one, so the sites signed
// with either are accepted while its users move over.
#include <memory>
#include <vector>

#include "site/signing.h"

namespace engine {

class KeyRing : public DocumentVerifier {
 public:
  void Add(std::unique_ptr<const DocumentVerifier> key);
  // Signed with any of the keys; with none, nothing is.
  bool Verify(std::string_view document, std::string_view signature) const override;

 private:
  std::vector<std::unique_ptr<const DocumentVerifier>> keys_;
};

}  // namespace engine
