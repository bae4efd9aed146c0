#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "base/secret_bytes.h"

// The one place where UTF-16 meets 8-bit text: the system code page at the
// token library's boundary and in 8-bit files, UTF-8 for exception texts.
std::string ToAnsi(std::wstring_view text);
// The same without any substitution: nothing when a character has no exact
// form in the system code page (no best-fit mapping, no default character).
// In memory that wipes itself, as the text may be a PIN.
std::optional<SecretBytes> ToAnsiExact(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);
std::wstring FromUtf8(std::string_view text);
