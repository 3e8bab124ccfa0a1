#pragma once
// The bytes of an object whose transfer broke off, kept in the staging folder
// for the next attempt or the next run, with what makes them safe to
// continue: the validator the server gave for them and the whole length.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// Below the staging folder, under its own "update\" (a first segment no
// listed Name may take), so that no staged file, and no file the apply pass
// places, can ever be a partial one. One flat folder: every partial file is
// named by a digest of its address, so its path is never longer than a short
// constant beyond the staging folder, however deep the object's name, and
// two spellings of a name never share one file.
inline constexpr char kPartialFolder[] = "update\\p\\";
inline constexpr char kPartialRecordSuffix[] = ".v";
// Where an object is decoded before it is renamed onto the staging path,
// so that a decode cut short never stands there as a staged file.
inline constexpr char kPartialDecodedSuffix[] = ".d";
// A code delta's prediction while the object is decoded against it.
inline constexpr char kPartialPredictionSuffix[] = ".p";

struct PartialPaths {
  std::string data;    // the bytes received so far
  std::string record;  // their PartialRecord
};

// For the object fetched from `url` (encoded as fetched) below stagingFolder
// (ending in "\"): kPartialFolder, 32 hexadecimal digits, and for the record
// kPartialRecordSuffix.
PartialPaths PartialPathsOf(const std::string& stagingFolder, std::string_view url);

// Which transfer the kept bytes belong to. A record that does not match the
// object now asked for is not continued.
struct PartialRecord {
  std::string url;        // the object's address, encoded as fetched
  std::string hash;       // the listed Hash of the file the object yields
  std::string validator;  // as engine::ValidatorOf gave it
  int32_t total = 0;      // the object's whole length
};

// One field a line; validators and addresses never hold a line break (a
// header cannot).
std::string FormatPartialRecord(const PartialRecord& record);
// Nothing for a text that is not exactly what FormatPartialRecord writes.
std::optional<PartialRecord> ParsePartialRecord(std::string_view text);

// The largest record text worth reading.
inline constexpr uint64_t kPartialRecordLimit = 8192;

}  // namespace engine
