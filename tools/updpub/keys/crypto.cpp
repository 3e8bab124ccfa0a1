#include "updpub/keys/crypto.h"

namespace updpub::crypto {

Digest Sha256Of(std::string_view data) {
  Sha256 sum;
  sum.Update(data.data(), data.size());
  return sum.Finish();
}

std::string DigestText(const Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}

}  // namespace updpub::crypto
