#include "win32/error_report.h"

#include <gtest/gtest.h>

TEST(ErrorMessageText, AddsAPeriodOnlyWhenMissing) {
  EXPECT_EQ(ErrorMessageText("Access denied"), "Access denied.");
  EXPECT_EQ(ErrorMessageText("Access denied."), "Access denied.");
  EXPECT_EQ(ErrorMessageText(""), ".");
}
