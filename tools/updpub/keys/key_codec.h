#pragma once
// The key files' bytes, written and read without a crypto library so that
// both builds produce the same files: PEM armour, the 91-byte
// SubjectPublicKeyInfo of a P-256 point and the 138-byte PKCS#8 form of a
// P-256 private key (the form OpenSSL writes: public point inside, curve
// named outside only).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace updpub::crypto {

inline constexpr size_t kScalarBytes = 32;
inline constexpr size_t kPointBytes = 65;  // 04 || X || Y
using Scalar = std::array<uint8_t, kScalarBytes>;
using Point = std::array<uint8_t, kPointBytes>;

struct PrivateKeyParts {
  Scalar scalar{};
  Point point{};
};

std::string PublicKeyPem(const Point& point);
std::string PrivateKeyPem(const PrivateKeyParts& key);

// False when the text is not that kind of key on P-256. A private key
// without its public point is refused: the Windows build cannot derive it.
bool ParsePublicKeyPem(std::string_view pem, Point& point);
bool ParsePrivateKeyPem(std::string_view pem, PrivateKeyParts& key);

// The DER inside a PEM block with that label ("PUBLIC KEY", "PRIVATE KEY").
bool PemBody(std::string_view pem, std::string_view label, std::string& der);

std::string Base64(std::string_view bytes);
// False on anything but base64 digits, '=' padding at the end and white space.
bool FromBase64(std::string_view text, std::string& bytes);

}  // namespace updpub::crypto
