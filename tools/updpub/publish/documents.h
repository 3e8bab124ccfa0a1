#pragma once
// The two documents of an update site, written the way the updater's reader
// reads them: GBK, CR LF, each element's attributes on one line separated by
// single spaces, '"' as "&quote;", the log and link text in CDATA where
// CDATA can hold them. And the check that a written document reads back as
// meant, through the updater's own reader.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/file_list.h"
#include "site/update_config.h"

namespace updpub {

inline constexpr char kConfigFileName[] = "update.xml";
inline constexpr char kFileListName[] = "filelist.xml";
// A document's signature lies beside it under its name and this suffix.
inline constexpr char kSignatureSuffix[] = ".sig";
// A publish writes the new configuration beside the site's as this prefix,
// a random part and ".xml", and renames it into place last.
inline constexpr char kStagedConfigPrefix[] = ".updpub-update-";

// What a signed file list carries beyond the plain one: the version and soft
// name it belongs to (GBK) and each file's SHA-256 (DigestText), in order.
struct ListSigning {
  std::string version;
  std::string softName;
  std::vector<std::string> sha256;
};

// "%X": upper case, no leading zeros, as the updater's signatures are spelt.
std::string CrcText(uint32_t crc);

// The configuration document: the Setting fields, the first ServerCount
// servers and the log. Texts are GBK. A signed configuration carries its
// expiry (Unix seconds) on the root.
std::string ConfigDocument(const engine::UpdateConfig& config, std::optional<int64_t> expires = std::nullopt);

// The file list: one File child per entry, in order; signed when `signing`
// is given.
std::string FileListDocument(const std::vector<engine::FileEntry>& files, const ListSigning* signing = nullptr);

// What the updater's reader gets from the bytes that differs from what was
// meant, one sentence each (UTF-8); empty when it reads exactly that.
std::vector<std::string> ConfigReadBackDifferences(std::string_view bytes, const engine::UpdateConfig& meant,
                                                   std::optional<int64_t> expires = std::nullopt);
std::vector<std::string> FileListReadBackDifferences(std::string_view bytes,
                                                     const std::vector<engine::FileEntry>& meant,
                                                     const ListSigning* signing = nullptr);

}  // namespace updpub
