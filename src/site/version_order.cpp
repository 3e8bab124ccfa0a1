#include "site/version_order.h"

namespace engine {
namespace {

constexpr char kPartSeparator = '.';

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool IsDottedDecimal(std::string_view text) {
  bool partHasDigit = false;
  for (const char c : text) {
    if (IsDigit(c)) {
      partHasDigit = true;
    } else if (c == kPartSeparator && partHasDigit) {
      partHasDigit = false;
    } else {
      return false;
    }
  }
  return partHasDigit;  // also refuses "" and a trailing dot
}

namespace {

// Takes the next part off the front of `rest`: "" once every part is taken,
// which stands for 0 like a part of zeros.
std::string_view TakePart(std::string_view& rest) {
  const size_t end = rest.find(kPartSeparator);
  std::string_view part = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  // A number of any length compares without overflow as its digits once the
  // leading zeros are gone: more digits is more, equal lengths compare as text.
  const size_t first = part.find_first_not_of('0');
  return first == std::string_view::npos ? std::string_view() : part.substr(first);
}

}  // namespace

VersionOrder CompareDottedVersions(std::string_view version, std::string_view other) {
  if (!IsDottedDecimal(version) || !IsDottedDecimal(other)) return VersionOrder::kUnordered;
  while (!version.empty() || !other.empty()) {
    const std::string_view a = TakePart(version);
    const std::string_view b = TakePart(other);
    if (a.size() != b.size()) return a.size() < b.size() ? VersionOrder::kLower : VersionOrder::kHigher;
    if (const int order = a.compare(b); order != 0) return order < 0 ? VersionOrder::kLower : VersionOrder::kHigher;
  }
  return VersionOrder::kEqual;
}

}  // namespace engine
