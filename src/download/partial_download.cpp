#include "download/partial_download.h"

#include <limits>
#include <vector>

namespace engine {
namespace {

constexpr char kLineEnd = '\n';
constexpr size_t kFieldCount = 4;

// FNV-1a, 64 bits, once forwards and once backwards from another start: 128
// bits in all. A collision costs nothing but the kept bytes, since the record
// names the address it belongs to.
constexpr uint64_t kFnvPrime = 0x100000001B3ull;
constexpr uint64_t kFnvForwardStart = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvBackwardStart = 0x84222325CBF29CE4ull;
constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(uint64_t value, std::string& text) {
  for (int shift = 60; shift >= 0; shift -= 4) text += kHexDigits[(value >> shift) & 0xF];
}

std::string AddressDigest(std::string_view url) {
  uint64_t forward = kFnvForwardStart, backward = kFnvBackwardStart;
  for (size_t i = 0; i < url.size(); ++i) {
    forward = (forward ^ static_cast<unsigned char>(url[i])) * kFnvPrime;
    backward = (backward ^ static_cast<unsigned char>(url[url.size() - 1 - i])) * kFnvPrime;
  }
  std::string text;
  AppendHex(forward, text);
  AppendHex(backward, text);
  return text;
}

}  // namespace

PartialPaths PartialPathsOf(const std::string& stagingFolder, std::string_view url) {
  const std::string data = stagingFolder + kPartialFolder + AddressDigest(url);
  return {data, data + kPartialRecordSuffix};
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
