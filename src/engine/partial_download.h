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
// places, can ever be a partial one. Object names are disjoint already: a
// plain file's is its Name, every other one begins with "update\".
inline constexpr char kPartialFolder[] = "update\\partial\\";
inline constexpr char kPartialRecordFolder[] = "update\\validator\\";

struct PartialPaths {
  std::string data;    // the bytes received so far
  std::string record;  // their PartialRecord
};

// For the object `objectName` (list-style, "\" or "/") below stagingFolder
// (ending in "\").
PartialPaths PartialPathsOf(const std::string& stagingFolder, std::string_view objectName);

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
