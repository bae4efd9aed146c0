#include "base/secret_bytes.h"

#include <gtest/gtest.h>

#include <optional>

// A move hands the memory over: no copy of the secret is left in the object
// it came from, whatever the length (a short std::string would keep one).
TEST(SecretBytes, AMoveLeavesNoCopyBehind) {
  SecretBytes pin = SecretBytes::Copy("2468");
  const char* memory = pin.data();
  EXPECT_EQ(pin.view(), "2468");
  EXPECT_EQ(pin.c_str()[4], '\0');
  std::optional<SecretBytes> held(std::move(pin));
  EXPECT_EQ(held->data(), memory);  // the same bytes, not a copy
  EXPECT_EQ(pin.size(), 0u);
  EXPECT_EQ(pin.data(), nullptr);
  SecretBytes other = SecretBytes::Copy("13579");
  other = std::move(*held);
  EXPECT_EQ(other.data(), memory);
  EXPECT_EQ(other.view(), "2468");
  other.Shrink(2);
  EXPECT_EQ(other.view(), "24");
  EXPECT_EQ(std::string_view(memory, 4), std::string_view("24\0\0", 4));  // the rest wiped
}
