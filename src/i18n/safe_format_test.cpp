#include "i18n/safe_format.h"

#include <gtest/gtest.h>

#include <random>

TEST(SafeFormat, FillsPlaceholdersInOrder) {
  EXPECT_EQ(SafeFormat(L"原口令不正确,您还有%d次重试机会", {3}), L"原口令不正确,您还有3次重试机会");
  EXPECT_EQ(SafeFormat(L"%s(%d--%d)", {L"PIN length", 6, 16}), L"PIN length(6--16)");
  EXPECT_EQ(SafeFormat(L"%.4d-%.2d-%.2d", {2027, 3, 5}), L"2027-03-05");
  EXPECT_EQ(SafeFormat(L"%s(%s %s)", {L"CN=Alice", L"2027-03-05", L"过期"}),
            L"CN=Alice(2027-03-05 过期)");
  EXPECT_EQ(SafeFormat(L"100%% %d", {-7}), L"100% -7");
  EXPECT_EQ(SafeFormat(L"[%5d|%-4d|%05d]", {42, 1, -3}), L"[   42|1   |-0003]");
}

TEST(SafeFormat, WrongTemplatesGiveReadableText) {
  EXPECT_EQ(SafeFormat(L"%d and %d", {5}), L"5 and %d");     // too many placeholders
  EXPECT_EQ(SafeFormat(L"%s tries", {4}), L"4 tries");       // number for %s
  EXPECT_EQ(SafeFormat(L"code %d", {L"abc"}), L"code abc");  // text for %d
  EXPECT_EQ(SafeFormat(L"%x %n %p %", {1}), L"%x %n %p %");  // not ours: kept as written
  EXPECT_EQ(SafeFormat(L"no placeholder", {1, L"x"}), L"no placeholder");
  EXPECT_LE(SafeFormat(L"%999999999d", {1}).size(), 64u);  // width is capped
}

// Random templates against fixed argument lists: never a crash (the native
// build runs this under AddressSanitizer and UBSan), output bounded.
TEST(SafeFormat, RandomTemplatesNeverMisbehave) {
  std::mt19937 rng(20261208);
  const wchar_t alphabet[] = L"%%%%dsxn.-0123456789 *lh中$";
  std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(alphabet)) - 2);
  std::uniform_int_distribution<int> length(0, 40);
  for (int round = 0; round < 20000; ++round) {
    std::wstring tmpl;
    for (int n = length(rng); n > 0; --n)
      tmpl += alphabet[pick(rng)];
    const std::wstring none = SafeFormat(tmpl, {});
    const std::wstring some = SafeFormat(tmpl, {-2147483648LL, L"text", 7});
    EXPECT_LE(none.size(), tmpl.size());
    EXPECT_LE(some.size(), tmpl.size() * 65 + 20);
  }
}
