#pragma once
// What an updater built with the vendor's key reads from the signed server
// documents, and the decisions it takes on them. The signature itself is
// checked by the platform (DocumentVerifier); everything here is portable.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "files/file_signature.h"
#include "site/file_list.h"

namespace xml {
class XmlDocument;
}

namespace engine {

struct UpdateConfig;

// A detached signature is ECDSA P-256's r||s, 32 bytes each.
inline constexpr size_t kSignatureSize = 64;
inline constexpr char kSignatureSuffix[] = ".sig";

// Only exactly kSignatureSize bytes can be a signature.
bool IsSignatureForm(std::string_view signature);

// The configuration root's Expires: Unix seconds, plain decimal digits that
// fit 63 bits. Missing or anything else gives nothing.
std::optional<int64_t> ReadExpires(const xml::XmlDocument& config);

// A configuration is refused once `now` (Unix seconds) is past its Expires,
// and always without one.
bool ConfigExpired(std::optional<int64_t> expires, int64_t now);

// The release a signed file list says it belongs to, from its root.
struct ListIdentity {
  std::string Version;
  std::string SoftName;
};
ListIdentity ReadListIdentity(const xml::XmlDocument& list);

// The list belongs to the configuration it was reached through: the same
// version (the folder it was fetched from) and the same application.
bool ListBelongsTo(const ListIdentity& identity, const UpdateConfig& config);

// A genuine but older configuration, replayed before it expires, would take
// the installed program back to files it has left: refused when its Version
// (in test mode the forced one) is below LocalVersion, both dotted decimal.
// Versions of any other form are not ordered and never refused here.
bool BelowInstalledVersion(const UpdateConfig& config);

// Why the updater stopped at a signed document; kNone when it did not.
enum class SignedRefusal {
  kNone,
  kBadSignature,  // missing, malformed or not made with the vendor's key
  kExpired,       // configuration only
  kOlderVersion,  // configuration only: below the installed version
  kWrongList,     // file list only: of another version or application
};

}  // namespace engine
