#include "engine/partial_download.h"

#include <limits>
#include <vector>

namespace engine {
namespace {

constexpr char kLineEnd = '\n';
constexpr size_t kFieldCount = 4;

std::string WithBackslashes(std::string_view name) {
  std::string path(name);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

PartialPaths PartialPathsOf(const std::string& stagingFolder, std::string_view objectName) {
  const std::string name = WithBackslashes(objectName);
  return {stagingFolder + kPartialFolder + name, stagingFolder + kPartialRecordFolder + name};
}

std::string FormatPartialRecord(const PartialRecord& record) {
  std::string text;
  for (const std::string& field : {record.url, record.hash, record.validator, std::to_string(record.total)}) {
    text += field;
    text += kLineEnd;
  }
  return text;
}

std::optional<PartialRecord> ParsePartialRecord(std::string_view text) {
  std::vector<std::string_view> fields;
  while (!text.empty()) {
    const size_t end = text.find(kLineEnd);
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    fields.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (fields.size() != kFieldCount) return std::nullopt;
  const std::string_view total = fields[3];
  if (total.empty() || total.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (const char c : total) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value <= 0 || value > std::numeric_limits<int32_t>::max() || fields[2].empty()) return std::nullopt;
  return PartialRecord{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]),
                       static_cast<int32_t>(value)};
}

}  // namespace engine
