#include "monitor/expiry.h"

#include <gtest/gtest.h>

namespace {

constexpr LocalDateTime kStartOfToday{2026, 12, 8, 0, 0, 0};
constexpr LocalDateTime kEndOfToday{2026, 12, 8, 23, 59, 59};

}  // namespace

TEST(IsExpiryDue, ZeroDaysWarnsFromTheFirstMomentOfTheEndDate) {
  for (const LocalDateTime& now : {kStartOfToday, kEndOfToday}) {
    EXPECT_EQ(IsExpiryDue(2026, 12, 8, 0, now), true);
    EXPECT_EQ(IsExpiryDue(2026, 12, 9, 0, now), false);
    EXPECT_EQ(IsExpiryDue(2020, 1, 1, 0, now), true);  // long past
  }
}

TEST(IsExpiryDue, ThirtyDaysCountsWholeDaysAheadInclusively) {
  // 30 days after 8 December is 7 January; 31 days is 8 January.
  for (const LocalDateTime& now : {kStartOfToday, kEndOfToday}) {
    EXPECT_EQ(IsExpiryDue(2027, 1, 7, 30, now), true);
    EXPECT_EQ(IsExpiryDue(2027, 1, 8, 30, now), false);
  }
  // Across a leap day: 2028-02-28 to 2028-03-01 is two days.
  const LocalDateTime feb28{2028, 2, 28, 12, 0, 0};
  EXPECT_EQ(IsExpiryDue(2028, 3, 1, 1, feb28), false);
  EXPECT_EQ(IsExpiryDue(2028, 3, 1, 2, feb28), true);
}

TEST(IsExpiryDue, AnEndThatIsNotACalendarDateIsNoAnswer) {
  EXPECT_EQ(IsExpiryDue(2027, 2, 29, 30, kStartOfToday), std::nullopt);
  EXPECT_EQ(IsExpiryDue(2027, 13, 1, 30, kStartOfToday), std::nullopt);
  EXPECT_EQ(IsExpiryDue(0, 0, 0, 30, kStartOfToday), std::nullopt);
  EXPECT_EQ(IsExpiryDue(12345, 1, 1, 30, kStartOfToday), std::nullopt);
  EXPECT_EQ(IsExpiryDue(-5, 1, 1, 30, kStartOfToday), std::nullopt);
}
