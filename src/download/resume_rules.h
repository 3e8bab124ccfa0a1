#pragma once
// When the bytes kept from a broken transfer may be continued: what the
// updater asks for, and how it reads the server's answer. A continuation is
// accepted only when the server vouches, through the validator it gave for
// the first bytes, that the rest belongs to the same file.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// What an Open asks for: the whole object (from 0), or the rest of it from
// `from` on, provided it is still the object `validator` names.
struct RangeRequest {
  int32_t from = 0;
  std::string validator;
};

// What the server answered, as far as the download looks at it.
struct HttpAnswer {
  int32_t length = -1;       // Content-Length: 0 without one, -1 nothing opened or unusable
  int status = 0;            // 0 when unknown
  std::string contentRange;  // the Content-Range header as sent, "" without one
  std::string validator;     // ValidatorOf the answer's ETag and Last-Modified
};

// The request header lines that ask for it, each ending in CRLF; "" for the
// whole object.
std::string RangeHeaders(const RangeRequest& request);

inline constexpr int kStatusOk = 200;
inline constexpr int kStatusPartialContent = 206;
inline constexpr int kStatusRangeNotSatisfiable = 416;

// The text If-Range may carry: a strong entity tag, else the Last-Modified
// date; "" when neither is usable (a weak tag must not be sent in If-Range,
// and without a validator a transfer cannot be continued safely).
std::string ValidatorOf(std::string_view etag, std::string_view lastModified);

// "bytes FIRST-LAST/TOTAL", every number decimal; nothing for any other
// form ("*" totals, lists, signs, values of 2 GiB or more).
struct ContentRange {
  int32_t first = 0;
  int32_t last = 0;
  int32_t total = 0;
};
std::optional<ContentRange> ParseContentRange(std::string_view text);

enum class ResumeDecision {
  kWhole,     // a body from byte 0: the kept bytes, if any, are dropped
  kContinue,  // the body is the rest from the kept length on
  kAskWhole,  // the answer is of no use: drop the kept bytes and ask for the whole object
  kRefused,   // an error answer to a continuation: the attempt fails, the kept bytes stay
};

// How to take an answer to `request` for an object whose kept bytes name
// `keptTotal` as its whole length. Without a continuation asked for, every
// answer is a whole body, whatever its status, as it always was.
ResumeDecision DecideResume(const RangeRequest& request, int32_t keptTotal, const HttpAnswer& answer);

}  // namespace engine
