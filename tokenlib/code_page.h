#pragma once
// The library's texts cross its C interface in the system's 8-bit code page;
// PKCS#11 texts (labels, PINs) are UTF-8. Conversions happen only here.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/secret_bytes.h"

namespace tokenlib {

class CodePage {
 public:
  virtual ~CodePage() = default;
  // The exact code-page form of UTF-8 text; nothing when the text is not
  // valid UTF-8 or some character has no exact form (no best-fit guesses:
  // a name must find its way back to the same object).
  // Both answer in memory that wipes itself: the text may be a PIN.
  virtual std::optional<SecretBytes> FromUtf8(std::string_view utf8) const = 0;
  // Code-page text as UTF-8; nothing when it is not valid in the code page.
  virtual std::optional<SecretBytes> ToUtf8(std::string_view text) const = 0;
};

// The code page the library's callers use: on Windows the ANSI code page, on
// other systems the locale's character set.
const CodePage& SystemCodePage();

#if !defined(_WIN32)
// A code page by its iconv name ("GBK", "ISO-8859-1"), for tests.
std::unique_ptr<CodePage> NamedCodePage(const std::string& name);
#endif

// Text for a caller that only shows it: the exact form, else the code-page-
// safe ASCII with '?' for every other character.
std::string DisplayText(const CodePage& codePage, std::string_view utf8);

}  // namespace tokenlib
