#include "download/resume_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "download/partial_download.h"

namespace {

using engine::DecideResume;
using engine::HttpAnswer;
using engine::RangeRequest;
using engine::ResumeDecision;

constexpr int32_t kTotal = 1000;
const RangeRequest kRest{400, "\"abc\""};

HttpAnswer Answer(int status, int32_t length, std::string contentRange = {}) {
  return {length, status, std::move(contentRange), "\"abc\""};
}

TEST(DecideResume, TableOfAnswersToAContinuation) {
  struct Row {
    const char* what;
    HttpAnswer answer;
    ResumeDecision expected;
  };
  const Row rows[] = {
      {"the rest, exactly", Answer(206, 600, "bytes 400-999/1000"), ResumeDecision::kContinue},
      {"a whole body: the file changed", Answer(200, 1200), ResumeDecision::kWhole},
      {"range not satisfiable", Answer(416, 0), ResumeDecision::kAskWhole},
      {"starts elsewhere", Answer(206, 601, "bytes 399-999/1000"), ResumeDecision::kAskWhole},
      {"another total", Answer(206, 600, "bytes 400-999/1001"), ResumeDecision::kAskWhole},
      {"a larger total, the rest of it exactly", Answer(206, 601, "bytes 400-1000/1001"), ResumeDecision::kAskWhole},
      {"stops short of the end", Answer(206, 100, "bytes 400-499/1000"), ResumeDecision::kAskWhole},
      {"length disagrees", Answer(206, 599, "bytes 400-999/1000"), ResumeDecision::kAskWhole},
      {"no Content-Range", Answer(206, 600), ResumeDecision::kAskWhole},
      {"unsatisfied form", Answer(206, 600, "bytes */1000"), ResumeDecision::kAskWhole},
      {"server error keeps the bytes", Answer(503, 20), ResumeDecision::kRefused},
      {"not found keeps the bytes", Answer(404, 20), ResumeDecision::kRefused},
      {"nothing opened", Answer(0, -1), ResumeDecision::kRefused},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DecideResume(kRest, kTotal, row.answer), row.expected) << row.what;
  }
  // Without a continuation asked for, every answer is a whole body, as the
  // attempt rule always took it (an error page fails by its hash).
  for (const Row& row : rows) {
    EXPECT_EQ(DecideResume(RangeRequest{}, 0, row.answer), ResumeDecision::kWhole) << row.what;
  }
}

TEST(ResumeRules, RangeHeadersAndValidators) {
  EXPECT_EQ(engine::RangeHeaders(RangeRequest{}), "");
  EXPECT_EQ(engine::RangeHeaders(kRest), "Range: bytes=400-\r\nIf-Range: \"abc\"\r\n");

  const char* date = "Mon, 07 Dec 2026 10:00:00 GMT";
  EXPECT_EQ(engine::ValidatorOf("\"5f3c-1a\"", date), "\"5f3c-1a\"");
  EXPECT_EQ(engine::ValidatorOf("W/\"5f3c-1a\"", date), date);  // weak tags may not go in If-Range
  EXPECT_EQ(engine::ValidatorOf("5f3c", date), date);
  EXPECT_EQ(engine::ValidatorOf("", ""), "");
}

TEST(ResumeRules, ContentRangeAcceptsOnlyOneWholeByteRange) {
  const auto range = engine::ParseContentRange("bytes 0-0/1");
  ASSERT_TRUE(range);
  EXPECT_EQ(range->total, 1);
  EXPECT_TRUE(engine::ParseContentRange("bytes 100-2147483646/2147483647"));
  for (const char* bad : {"bytes 100-2147483647/2147483648", "bytes 5-4/10", "bytes 0-10/10", "bytes -1-5/10",
                          "items 0-5/10", "bytes 0-5/*", "bytes 0-5", "bytes 0x1-5/10", ""}) {
    EXPECT_FALSE(engine::ParseContentRange(bad)) << bad;
  }
}

TEST(PartialRecord, RoundTripsAndRefusesWhatItDidNotWrite) {
  const engine::PartialRecord record{"http://h/2.0/%D6%D0.dll", "1A2B", "\"5f-1\"", 123456};
  const std::string text = engine::FormatPartialRecord(record);
  const auto back = engine::ParsePartialRecord(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->url, record.url);
  EXPECT_EQ(back->hash, record.hash);
  EXPECT_EQ(back->validator, record.validator);
  EXPECT_EQ(back->total, record.total);
  // Cut short by a crash, or a length beyond 2 GiB, or no validator at all.
  EXPECT_FALSE(engine::ParsePartialRecord(text.substr(0, text.size() - 1)));
  EXPECT_FALSE(engine::ParsePartialRecord("u\nh\nv\n2147483648\n"));
  EXPECT_FALSE(engine::ParsePartialRecord("u\nh\n\n10\n"));
  EXPECT_FALSE(engine::ParsePartialRecord(text + "extra\n"));

  // However deep the name, a partial file's path stays a fixed length past
  // the staging folder; addresses that differ in case or in one byte never
  // share one, and its record lies beside it.
  const std::string staging = "C:\\A\\update\\";
  const std::string deep = "http://h/app/2.0/" + std::string(200, 'd') + "/update/delta/1A2B3C4D/x.dll.zst";
  std::set<std::string> seen;
  for (const std::string& url : std::vector<std::string>{"http://h/app/2.0/sub/a.dll", "http://h/app/2.0/sub/A.dll",
                                "http://h/app/2.0/sub/a.dlm", "http://h/app/2.0/sub%2Fa.dll", deep}) {
    const auto paths = engine::PartialPathsOf(staging, url);
    EXPECT_EQ(paths.data.size(), staging.size() + std::string("update\\p\\").size() + 32) << url;
    EXPECT_EQ(paths.data.rfind(staging + "update\\p\\", 0), 0u);
    EXPECT_EQ(paths.record, paths.data + ".v");
    EXPECT_EQ(paths.data, engine::PartialPathsOf(staging, url).data);
    seen.insert(paths.data);
  }
  EXPECT_EQ(seen.size(), 5u);
}

}  // namespace
