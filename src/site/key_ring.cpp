#include "site/key_ring.h"

#include <utility>

namespace engine {

void KeyRing::Add(std::unique_ptr<const DocumentVerifier> key) { keys_.push_back(std::move(key)); }

bool KeyRing::Verify(std::string_view document, std::string_view signature) const {
  for (const auto& key : keys_) {
    if (key->Verify(document, signature)) return true;
  }
  return false;
}

}  // namespace engine
