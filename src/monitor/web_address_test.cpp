#include "monitor/web_address.h"

#include <gtest/gtest.h>

TEST(TrimAddress, DropsBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(TrimAddress(L" \t https://example.com/a b \r\n"), L"https://example.com/a b");
  EXPECT_EQ(TrimAddress(L"   "), L"");
  EXPECT_EQ(TrimAddress(L"intranet"), L"intranet");
}
