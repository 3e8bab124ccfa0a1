#include "net/content_length.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace {

struct LengthCase {
  std::string text;
  std::optional<int32_t> expected;
};
void PrintTo(const LengthCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

const std::string kZeroInside = std::string("1") + '\0' + "2";

class ContentLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(ContentLengthTest, Parses) {
  EXPECT_EQ(net::ParseContentLength(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ContentLengthTest,
    testing::Values(LengthCase{"", 0}, LengthCase{"0", 0}, LengthCase{"5000", 5000},
                    LengthCase{"007", 7}, LengthCase{std::string(40, '0') + "12", 12},
                    LengthCase{"2147483647", 2147483647}, LengthCase{"2147483648", std::nullopt},
                    LengthCase{"4294967296", std::nullopt},  // 2^32: would wrap to 0 in 32 bits
                    LengthCase{"4294967297", std::nullopt},
                    LengthCase{std::string(30, '9'), std::nullopt},
                    LengthCase{"99999999999999999999999", std::nullopt},
                    LengthCase{"-1", std::nullopt}, LengthCase{"+5", std::nullopt},
                    LengthCase{" 5", std::nullopt}, LengthCase{"5 ", std::nullopt},
                    LengthCase{"1e3", std::nullopt}, LengthCase{"0x10", std::nullopt},
                    LengthCase{"12abc", std::nullopt}, LengthCase{kZeroInside, std::nullopt}));

}  // namespace
