#include "base/text_win.h"

#include <windows.h>

#include <gtest/gtest.h>

// The 8-bit form of a PIN lives in memory of its own, so moving the answer
// copies nothing: a 4-character PIN in a std::string would sit inside the
// object and stay behind in every one it was moved out of.
TEST(ToAnsiExact, ThePinsBytesLiveOutsideTheAnswer) {
  std::optional<SecretBytes> pin = ToAnsiExact(L"2468");
  ASSERT_TRUE(pin);
  EXPECT_EQ(pin->view(), "2468");
  const auto* object = reinterpret_cast<const char*>(&*pin);
  EXPECT_TRUE(pin->data() < object || pin->data() >= object + sizeof(SecretBytes));
  EXPECT_FALSE(ToAnsiExact(GetACP() == CP_UTF8 ? L"\xD800" : L"\xFF34oken.dll"));
  EXPECT_TRUE(ToAnsiExact(L"")->empty());
}
