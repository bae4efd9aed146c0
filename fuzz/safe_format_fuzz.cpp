// Language-file templates with any placeholders, against fixed arguments.
#include "fuzz_input.h"
#include "i18n/safe_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring tmpl = Utf16Text(data, size);
  SafeFormat(tmpl, {});
  SafeFormat(tmpl, {42LL, std::wstring_view(L"text")});
  SafeFormat(tmpl, {std::wstring_view(L"a"), -7LL, 10000000000LL});
  return 0;
}
