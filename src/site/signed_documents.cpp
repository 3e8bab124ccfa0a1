#include "site/signed_documents.h"

#include <limits>

#include "site/update_config.h"
#include "site/version_order.h"
#include "xml/xml_document.h"

namespace engine {
namespace {

constexpr char kConfigRoot[] = "Update";
constexpr char kListRoot[] = "Files";
constexpr char kExpiresAttribute[] = "Expires";
constexpr char kVersionAttribute[] = "Version";
constexpr char kSoftNameAttribute[] = "SoftName";

}  // namespace

bool IsSignatureForm(std::string_view signature) { return signature.size() == kSignatureSize; }

std::optional<int64_t> ReadExpires(const xml::XmlDocument& config) {
  if (config.RootName() != kConfigRoot) return std::nullopt;
  const std::string text = config.GetAttribute(kConfigRoot, kExpiresAttribute);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool ConfigExpired(std::optional<int64_t> expires, int64_t now) { return !expires || now > *expires; }

ListIdentity ReadListIdentity(const xml::XmlDocument& list) {
  if (list.RootName() != kListRoot) return {};
  return {list.GetAttribute(kListRoot, kVersionAttribute), list.GetAttribute(kListRoot, kSoftNameAttribute)};
}

bool ListBelongsTo(const ListIdentity& identity, const UpdateConfig& config) {
  // An empty version or name identifies nothing, even against an empty one.
  return !identity.Version.empty() && !identity.SoftName.empty() && identity.Version == config.Version &&
         identity.SoftName == config.SoftName;
}

bool BelowInstalledVersion(const UpdateConfig& config) {
  return CompareDottedVersions(config.Version, config.LocalVersion) == VersionOrder::kLower;
}

}  // namespace engine
