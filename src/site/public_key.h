#pragma once
// The vendor's P-256 public key as the updater embeds it: a
// SubjectPublicKeyInfo, reduced to the point the verifier imports.
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace engine {

// X||Y, 32 bytes each, big-endian.
inline constexpr size_t kPointCoordinateSize = 32;
using EcPoint = std::array<unsigned char, 2 * kPointCoordinateSize>;

// The point of a P-256 SubjectPublicKeyInfo in DER: exactly 91 bytes, the
// fixed prefix naming id-ecPublicKey on prime256v1, then an uncompressed
// point (04||X||Y). Anything else, another curve or a compressed point
// included, gives nothing.
std::optional<EcPoint> PointFromSpki(std::string_view der);

}  // namespace engine
