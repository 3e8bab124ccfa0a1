#pragma once
// What "updpub check" judges on a signed site, as an updater built with the
// vendor's keys does: each document's signature over its bytes as fetched,
// the configuration's expiry, that a list names its own release, and that
// every listed file has a SHA-256.
#include <cstdint>
#include <string>
#include <vector>

#include "site/update_config.h"
#include "updpub/check/site_check.h"
#include "updpub/check/site_reader.h"
#include "updpub/keys/crypto.h"
#include "xml/xml_document.h"

namespace updpub {

class SignatureCheck {
 public:
  explicit SignatureCheck(CheckReport& report) : report_(report) {}

  // False (reported) when any key cannot be read.
  bool ReadKeys(const std::vector<fs::path>& paths);
  // No key given: the site is checked as unsigned.
  bool Signed() const { return !keyPems_.empty(); }

  // The signature beside the document at `address`, over `bytes`.
  void CheckSignature(SiteReader& site, const std::string& address, const std::string& where,
                      const std::string& bytes);
  // The configuration's Expires against `now` (Unix seconds); `line` is <Update>'s.
  void CheckExpiry(const xml::XmlDocument& config, const std::string& where, int line, int64_t now);
  // The Version and SoftName a list names against the configuration's.
  void CheckListBelongs(const xml::XmlDocument& list, const std::string& where, int line,
                        const engine::UpdateConfig& config);
  // The listed Sha256 of the file `shown`, or "" (reported) when an updater
  // with the key would never accept the file.
  std::string ListedSha256(const std::string& value, const std::string& where, int line, const std::string& shown);

 private:
  crypto::Verdict VerifyWithAnyKey(const std::string& documentBytes, const std::string& signature) const;
  void ConfigSignatureMismatch(const SiteReader& site, const std::string& where, const std::string& signature,
                               const std::string& refused);

  CheckReport& report_;
  std::vector<std::string> keyPems_;
};

}  // namespace updpub
