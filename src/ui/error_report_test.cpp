#include "ui/error_report.h"

#include <gtest/gtest.h>

TEST(ErrorMessageText, AddsAPeriodOnlyWhenMissing) {
  EXPECT_EQ(ErrorMessageText("Access denied"), "Access denied.");
  EXPECT_EQ(ErrorMessageText("Access denied."), "Access denied.");
  EXPECT_EQ(ErrorMessageText(""), ".");
}

TEST(FileErrorText, NamesTheCommonFileErrorsAndNumbersTheRest) {
  EXPECT_EQ(FileErrorText(5), "File access denied");
  EXPECT_EQ(FileErrorText(3), "File not found");
  EXPECT_EQ(FileErrorText(112), "Disk full");
  EXPECT_EQ(FileErrorText(32), "I/O error 32");
}
