#pragma once
// The compressed forms of a file on an update site: one zstd frame, with
// the content size and a checksum, made from the file alone (packed) or
// with an earlier file as its reference prefix (delta). They are decoded by
// the updater's own files::ObjectDecoder, here as there.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "codecs/object_decoder.h"

namespace updpub {

inline constexpr int kDefaultPackLevel = 19;
inline constexpr int kMinPackLevel = 1;
inline constexpr int kMaxPackLevel = 22;
// A file and a delta's base are read whole to be packed; larger ones travel
// plain. A list counts a file's bytes as a signed 32-bit number. The Windows
// build is a 32-bit process: it must hold a pair, its object and the
// encoder's tables in its address space.
inline constexpr bool kWideAddresses = sizeof(void*) >= 8;
inline constexpr size_t kLargestPackedFile = kWideAddresses ? (size_t{2} << 30) - 1 : size_t{256} << 20;
// A delta's window covers its base and the file where the updater's bound
// allows, and at least the file: while the frame's output fits its window
// the whole base stays within reach of every match, so a pair of 1 GiB
// files still needs only 2^30.
inline constexpr int kMaxDeltaWindowLog = files::kMaxWindowLog;
inline constexpr uint64_t kLargestDeltaFile = uint64_t{1} << kMaxDeltaWindowLog;

// The window log of a delta of a `plain`-byte file against a `base`-byte one.
int DeltaWindowLog(uint64_t plain, uint64_t base);

// Told how many bytes of the input have been encoded so far.
using EncodeProgress = std::function<void(uint64_t done)>;

// Compresses `plain` into `out`; with a non-empty `base`, against it as the
// reference prefix with long-distance matching. False with `error` set when
// it cannot (a file beyond kLargestDeltaFile among the reasons).
bool EncodeObject(std::string_view plain, std::string_view base, int level, std::string& out, std::string& error,
                  const EncodeProgress& progress = {});

// The same frame against `prediction`, without zstd's checksum: a code
// delta's residual. The updater checks the file it decodes by its CRC-32
// (and SHA-256) in any case, and hashing it once more costs decode time.
bool EncodeResidual(std::string_view plain, std::string_view prediction, int level, std::string& out,
                    std::string& error, const EncodeProgress& progress = {});

// The memory the encoder's own tables take at `level`; windowLog 0 for a
// packed object, else a delta's window with long-distance matching;
// `residual` for a code delta's, whose match finder reaches further back.
uint64_t EncoderTableBytes(int level, int windowLog, bool residual = false);

}  // namespace updpub
