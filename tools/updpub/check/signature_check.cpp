#include "updpub/check/signature_check.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "updpub/check/checked_site.h"
#include "updpub/keys/key_codec.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"

namespace updpub {
namespace {

constexpr size_t kMaxKeyBytes = size_t{64} << 10;
constexpr int64_t kExpiryWarningDays = 7;
constexpr int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr size_t kSha256Digits = 64;

// "2027-01-31 12:00:00 UTC"
std::string UtcText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay;
  const int64_t rest = seconds - days * kSecondsPerDay;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

// Unix seconds written as the format has them: decimal digits only.
std::optional<int64_t> SecondsValue(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsDigestText(std::string_view text) {
  if (text.size() != kSha256Digits) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

// A key that cannot be read makes every signature finding meaningless, so
// then the site is checked as unsigned.
bool SignatureCheck::ReadKeys(const std::vector<fs::path>& paths) {
  for (const fs::path& path : paths) {
    const std::string where = Utf8Path(path);
    std::string error;
    std::string pem;
    crypto::Point point;
    if (!ReadWholeFile(path, kMaxKeyBytes, pem, error)) {
      AddError(report_.findings, where, 0, "the key cannot be read (" + error + ")");
    } else if (!crypto::ParsePublicKeyPem(pem, point)) {
      AddError(report_.findings, where, 0,
               "not a public key as \"updpub keygen\" writes it (P-256, PEM SubjectPublicKeyInfo)");
    } else {
      keyPems_.push_back(std::move(pem));
    }
  }
  if (keyPems_.size() == paths.size()) return true;
  keyPems_.clear();
  return false;
}

// As an updater built with all the keys judges it: valid when one of them
// made it.
crypto::Verdict SignatureCheck::VerifyWithAnyKey(const std::string& documentBytes,
                                                 const std::string& signature) const {
  crypto::Verdict verdict = crypto::Verdict::kMismatch;
  for (const std::string& pem : keyPems_) {
    verdict = crypto::Verify(pem, documentBytes, signature);
    if (verdict != crypto::Verdict::kMismatch) return verdict;
  }
  return verdict;
}

void SignatureCheck::CheckSignature(SiteReader& site, const std::string& address, const std::string& documentWhere,
                                    const std::string& bytes) {
  const std::string where = documentWhere + kSignatureSuffix;
  const Fetched fetched = site.Source().Fetch(address + kSignatureSuffix, false, true);
  const std::string refused = ": an updater with the key refuses " + documentWhere;
  if (fetched.status == Fetched::Status::kMissing) {
    AddError(report_.findings, where, 0, "the signature is missing (" + fetched.detail + ")" + refused);
    return;
  }
  if (fetched.status != Fetched::Status::kOk) {
    AddError(report_.findings, where, 0, "the signature cannot be fetched (" + fetched.detail + ")" + refused);
    return;
  }
  switch (VerifyWithAnyKey(bytes, fetched.body)) {
    case crypto::Verdict::kValid:
      report_.checked.push_back(where);
      return;
    case crypto::Verdict::kMalformed:
      AddError(report_.findings, where, 0,
               "the signature is malformed: " + std::to_string(fetched.body.size()) + " bytes instead of " +
                   std::to_string(crypto::kSignatureBytes) +
                   (fetched.statusKnown ? "" : " (or it is missing: this build's HTTP client cannot tell)") + refused);
      return;
    case crypto::Verdict::kMismatch:
      if (documentWhere == site.ConfigWhere()) return ConfigSignatureMismatch(site, where, fetched.body, refused);
      AddError(report_.findings, where, 0,
               "the signature does not match: the document was changed after signing, or signed with another key" +
                   refused);
      return;
    case crypto::Verdict::kBadKey:
      return;  // ReadKeys has said so
  }
}

// A publish cut short between its last two renames leaves the new
// configuration's signature beside the old configuration, and the new
// configuration staged in the same folder.
void SignatureCheck::ConfigSignatureMismatch(const SiteReader& site, const std::string& where,
                                             const std::string& signature, const std::string& refused) {
  const std::optional<fs::path> staged = site.FindStagedConfig(
      [&](const std::string& bytes) { return VerifyWithAnyKey(bytes, signature) == crypto::Verdict::kValid; });
  if (staged) {
    AddError(report_.findings, where, 0,
             "the signature is of " + Utf8Path(*staged) +
                 ", the configuration a publish cut short left staged, not of this one" + refused +
                 " until the same release is published again");
    return;
  }
  AddError(report_.findings, where, 0,
           "the signature does not match: the document was changed after signing, signed with another key, or a "
           "publish was cut short just before it renamed the configuration into place (then publish the same "
           "release again)" + refused);
}

void SignatureCheck::CheckExpiry(const xml::XmlDocument& config, const std::string& where, int line, int64_t now) {
  const std::string text = config.GetAttribute("Update", "Expires");
  const std::optional<int64_t> expires = SecondsValue(text);
  if (text.empty()) {
    AddError(report_.findings, where, line,
             "no Expires on <Update>: an updater with the key refuses the configuration as expired");
  } else if (!expires) {
    AddError(report_.findings, where, line,
             "Expires \"" + Shown(text) + "\" is not Unix seconds: an updater with the key refuses the configuration");
  } else if (*expires < now) {
    AddError(report_.findings, where, line,
             "the configuration expired at " + UtcText(*expires) +
                 ": an updater with the key refuses it (publish again)");
  } else if (*expires - now < kExpiryWarningDays * kSecondsPerDay) {
    AddWarning(report_.findings, where, line,
               "the configuration expires at " + UtcText(*expires) + ": publish again before then");
  }
}

// A signed list names the version and soft name it was published for; one
// that names others is a list of another release, refused as such.
void SignatureCheck::CheckListBelongs(const xml::XmlDocument& list, const std::string& where, int line,
                                      const engine::UpdateConfig& config) {
  for (const auto& [attribute, meant] : {std::pair<const char*, const std::string&>{"Version", config.Version},
                                         std::pair<const char*, const std::string&>{"SoftName", config.SoftName}}) {
    const std::string value = list.GetAttribute(kListRoot, attribute);
    if (value.empty()) {
      AddError(report_.findings, where, line,
               std::string("no ") + attribute + " on <Files>: an updater with the key refuses the list");
    } else if (value != meant) {
      AddError(report_.findings, where, line,
               std::string("the list's ") + attribute + " is \"" + Shown(value) + "\", the configuration's \"" +
                   Shown(meant) + "\": the list belongs to another release and an updater with the key refuses it");
    }
  }
}

std::string SignatureCheck::ListedSha256(const std::string& value, const std::string& where, int line,
                                         const std::string& shown) {
  if (IsDigestText(value)) return value;
  AddError(report_.findings, where, line,
           "\"" + shown + "\": " +
               (value.empty() ? std::string("no Sha256")
                              : "Sha256 \"" + Shown(value) + "\" is not 64 lower-case hexadecimal digits") +
               ": an updater with the key never accepts the file");
  return "";
}

}  // namespace updpub
