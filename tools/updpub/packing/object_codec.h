#pragma once
// The compressed forms of a file on an update site: one zstd frame, with
// the content size and a checksum, made from the file alone (packed) or
// with an earlier file as its reference prefix (delta). They are decoded by
// the updater's own files::ObjectDecoder, here as there.
#include <cstddef>
#include <string>
#include <string_view>

#include "codecs/object_decoder.h"

namespace updpub {

inline constexpr int kDefaultPackLevel = 19;
inline constexpr int kMinPackLevel = 1;
inline constexpr int kMaxPackLevel = 22;
// The window a delta needs covers its base and the file; the updater decodes
// no frame with a larger window than its bound, so larger pairs get no delta.
// Kept at the bound of an updater that decodes through a buffer until the
// publisher makes larger pairs with bounded memory.
inline constexpr int kMaxDeltaWindowLog = files::kMaxStreamWindowLog;
inline constexpr size_t kMaxDeltaWindowBytes = size_t{1} << kMaxDeltaWindowLog;
// A file is read whole to be packed; larger ones travel plain. The Windows
// build is a 32-bit process: it must hold such a file and its object in 2 GiB.
inline constexpr bool kWideAddresses = sizeof(void*) >= 8;
inline constexpr size_t kLargestPackedFile = kWideAddresses ? size_t{1} << 30 : size_t{256} << 20;

// Compresses `plain` into `out`; with a non-empty `base`, against it as the
// reference prefix with long-distance matching. False with `error` set when
// it cannot (a delta's pair beyond kMaxDeltaWindowBytes among the reasons).
bool EncodeObject(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error);

// The same frame against `prediction`, without zstd's checksum: a code
// delta's residual. The updater checks the file it decodes by its CRC-32
// (and SHA-256) in any case, and hashing it once more costs decode time.
bool EncodeResidual(std::string_view plain, std::string_view prediction, int level, std::string& out,
                    std::string& error);

}  // namespace updpub
