#include "site/public_key.h"

#include <algorithm>

namespace engine {
namespace {

// SEQUENCE { SEQUENCE { OID id-ecPublicKey, OID prime256v1 }, BIT STRING (66
// bytes, no unused bits) }: for this curve every encoder writes exactly these.
constexpr unsigned char kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                         0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                         0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr unsigned char kUncompressedPoint = 0x04;
constexpr size_t kSpkiSize = sizeof(kSpkiPrefix) + 1 + 2 * kPointCoordinateSize;

}  // namespace

std::optional<EcPoint> PointFromSpki(std::string_view der) {
  if (der.size() != kSpkiSize) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  if (!std::equal(std::begin(kSpkiPrefix), std::end(kSpkiPrefix), bytes)) return std::nullopt;
  if (bytes[sizeof(kSpkiPrefix)] != kUncompressedPoint) return std::nullopt;
  EcPoint point{};
  std::copy(bytes + sizeof(kSpkiPrefix) + 1, bytes + kSpkiSize, point.begin());
  return point;
}

}  // namespace engine
