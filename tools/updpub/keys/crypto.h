#pragma once
// Signatures of an update site's documents: ECDSA P-256 over SHA-256, keys as
// PEM text (PKCS#8 private key, SubjectPublicKeyInfo public key), signatures
// as the 64 bytes r||s. One interface over OpenSSL's libcrypto on the host
// and CNG in the Windows build; both read and write the same files.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace updpub::crypto {

inline constexpr size_t kSignatureBytes = 64;
inline constexpr size_t kDigestBytes = 32;
using Digest = std::array<uint8_t, kDigestBytes>;

struct KeyPair {
  std::string privatePem;
  std::string publicPem;
};

// A fresh key pair; false with `error` set when the system cannot make one.
bool GenerateKeyPair(KeyPair& keys, std::string& error);

// The signature of `data`'s SHA-256. False with `error` set when the text is
// no P-256 private key of the form keygen writes, or signing fails.
bool Sign(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error);

enum class Verdict {
  kValid,
  kMalformed,  // not exactly kSignatureBytes long
  kMismatch,   // not made by this key over these bytes
  kBadKey,     // the text is no P-256 public key
};
Verdict Verify(std::string_view publicPem, std::string_view data, std::string_view signature);

// SHA-256 over data given piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest of everything given; call once.
  Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Digest Sha256Of(std::string_view data);

// 64 lower-case hexadecimal digits, as a file list spells them.
std::string DigestText(const Digest& digest);

}  // namespace updpub::crypto
