#include "net/content_length.h"

#include <limits>

namespace net {

std::optional<int32_t> ParseContentLength(std::string_view text) {
  if (text.empty()) return 0;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    // Checked per digit, so a long run of digits leaves before it could
    // overflow; leading zeros keep the value at 0 and are fine.
    if (value > kMax) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

}  // namespace net
