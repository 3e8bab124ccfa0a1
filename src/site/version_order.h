#pragma once
// The order of two version texts of the dotted decimal form ("1.2",
// "1.10.3"): the one ordering an updater built with the vendor's key relies
// on. Other forms have no order here; they are only ever compared as texts.
#include <string_view>

namespace engine {

enum class VersionOrder {
  kLower,
  kEqual,
  kHigher,
  kUnordered,  // either text is not dotted decimal
};

// Where `version` stands against `other`. Dotted decimal: one or more parts of
// ASCII digits joined by single dots, nothing else. Parts compare as numbers
// of any length (leading zeros aside), a missing part counts as 0: "1.2"
// equals "1.2.0" and "01.2", "1.10" is above "1.9".
VersionOrder CompareDottedVersions(std::string_view version, std::string_view other);

// Whether text is of the dotted decimal form above.
bool IsDottedDecimal(std::string_view text);

}  // namespace engine
