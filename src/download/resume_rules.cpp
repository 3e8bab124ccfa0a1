#include "download/resume_rules.h"

#include <limits>

namespace engine {
namespace {

constexpr std::string_view kWeakTagPrefix = "W/";
constexpr std::string_view kBytesUnit = "bytes ";
constexpr int kFirstErrorStatus = 400;
constexpr char kRangeHeader[] = "Range: bytes=";
constexpr char kIfRangeHeader[] = "If-Range: ";
constexpr char kHeaderEnd[] = "\r\n";

// Decimal digits only, below 2^31; leading zeros allowed.
std::optional<int32_t> Number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string RangeHeaders(const RangeRequest& request) {
  if (request.from <= 0) return {};
  return kRangeHeader + std::to_string(request.from) + "-" + kHeaderEnd + kIfRangeHeader + request.validator +
         kHeaderEnd;
}

std::string ValidatorOf(std::string_view etag, std::string_view lastModified) {
  etag = Trimmed(etag);
  // A strong tag is a quoted text; anything else (weak, unquoted) is not one.
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"' &&
      etag.substr(0, kWeakTagPrefix.size()) != kWeakTagPrefix)
    return std::string(etag);
  return std::string(Trimmed(lastModified));
}

std::optional<ContentRange> ParseContentRange(std::string_view text) {
  text = Trimmed(text);
  if (text.substr(0, kBytesUnit.size()) != kBytesUnit) return std::nullopt;
  text.remove_prefix(kBytesUnit.size());
  const size_t dash = text.find('-');
  const size_t slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
  const auto first = Number(text.substr(0, dash));
  const auto last = Number(text.substr(dash + 1, slash - dash - 1));
  const auto total = Number(text.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
  return ContentRange{*first, *last, *total};
}

ResumeDecision DecideResume(const RangeRequest& request, int32_t keptTotal, const HttpAnswer& answer) {
  if (request.from <= 0) return ResumeDecision::kWhole;
  if (answer.length < 0) return ResumeDecision::kRefused;  // nothing opened
  if (answer.status == kStatusOk) return ResumeDecision::kWhole;
  if (answer.status == kStatusPartialContent) {
    // The rest, exactly: from the kept length to the end of a file as long
    // as the kept one, every byte of it announced.
    const auto range = ParseContentRange(answer.contentRange);
    const bool fits = range && range->first == request.from && range->total == keptTotal &&
                      range->last == range->total - 1 && answer.length == range->total - range->first;
    return fits ? ResumeDecision::kContinue : ResumeDecision::kAskWhole;
  }
  if (answer.status == kStatusRangeNotSatisfiable) return ResumeDecision::kAskWhole;
  // A server error says nothing about the kept bytes; other answers are no
  // file at all.
  return answer.status >= kFirstErrorStatus || answer.status == 0 ? ResumeDecision::kRefused
                                                                    : ResumeDecision::kAskWhole;
}

}  // namespace engine
