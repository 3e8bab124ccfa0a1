#include "site/version_order.h"

#include <gtest/gtest.h>

namespace {

using engine::CompareDottedVersions;
using engine::VersionOrder;

struct OrderCase {
  const char* version;
  const char* other;
  VersionOrder expected;
};
void PrintTo(const OrderCase& c, std::ostream* out) { *out << '"' << c.version << "\" against \"" << c.other << '"'; }

VersionOrder Swapped(VersionOrder order) {
  if (order == VersionOrder::kLower) return VersionOrder::kHigher;
  if (order == VersionOrder::kHigher) return VersionOrder::kLower;
  return order;
}

class VersionOrderTest : public testing::TestWithParam<OrderCase> {};

// Each case read both ways round: an order that only holds one way is a fault.
TEST_P(VersionOrderTest, OrdersDottedDecimalAsNumbersAndNothingElse) {
  const OrderCase& c = GetParam();
  EXPECT_EQ(CompareDottedVersions(c.version, c.other), c.expected);
  EXPECT_EQ(CompareDottedVersions(c.other, c.version), Swapped(c.expected));
}

constexpr VersionOrder kLower = VersionOrder::kLower;
constexpr VersionOrder kEqual = VersionOrder::kEqual;
constexpr VersionOrder kHigher = VersionOrder::kHigher;
constexpr VersionOrder kUnordered = VersionOrder::kUnordered;

INSTANTIATE_TEST_SUITE_P(
    Equal, VersionOrderTest,
    testing::Values(OrderCase{"1.2", "1.2", kEqual}, OrderCase{"1.2", "1.2.0", kEqual},
                    OrderCase{"1.2.0.0", "1.2", kEqual}, OrderCase{"01.2", "1.002", kEqual},
                    OrderCase{"0", "0.00", kEqual}, OrderCase{"7", "7", kEqual}));

INSTANTIATE_TEST_SUITE_P(
    Ordered, VersionOrderTest,
    testing::Values(OrderCase{"1.9", "1.10", kLower}, OrderCase{"1.0", "2.0", kLower},
                    OrderCase{"1.2", "1.2.1", kLower}, OrderCase{"1.2.0", "1.2.0.1", kLower},
                    OrderCase{"2", "1.99.99", kHigher}, OrderCase{"10", "9.0", kHigher},
                    OrderCase{"007.1", "7.0.9", kHigher}, OrderCase{"1.09", "1.10", kLower},
                    // Beyond any integer type: the digits decide, leading zeros aside.
                    OrderCase{"1.99999999999999999999999999", "1.100000000000000000000000000", kLower},
                    OrderCase{"000000000000000000000000000018446744073709551616", "18446744073709551615", kHigher},
                    OrderCase{"4294967296.1", "4294967296.0", kHigher}));

INSTANTIATE_TEST_SUITE_P(
    NotDottedDecimal, VersionOrderTest,
    testing::Values(OrderCase{"", "1.0", kUnordered}, OrderCase{"", "", kUnordered},
                    OrderCase{"1.0-beta", "1.0", kUnordered}, OrderCase{"2.0", "v1.0", kUnordered},
                    OrderCase{"1..2", "1.2", kUnordered}, OrderCase{"1.2.", "1.2", kUnordered},
                    OrderCase{".1", "0.1", kUnordered}, OrderCase{" 1.2", "1.2", kUnordered},
                    OrderCase{"1.2", "1.2 ", kUnordered}, OrderCase{"-1", "1", kUnordered},
                    OrderCase{"1,2", "1.2", kUnordered}, OrderCase{"1.0", "1.0a", kUnordered}));

}  // namespace
