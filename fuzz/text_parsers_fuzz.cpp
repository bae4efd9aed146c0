// The small parsers of outside text: fixed dates, profile integers, the
// device path's product id, web addresses.
#include "config/fixed_date.h"
#include "config/profile.h"
#include "fuzz_input.h"
#include "monitor/token_session.h"
#include "monitor/web_address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = Utf16Text(data, size);
  if (const auto date = StrToFixedDateTime(text)) {
    if (date->month < 1 || date->month > 12 || date->day < 1 ||
        date->day > DaysInMonth(date->year, date->month))
      __builtin_trap();
  }
  ParseProfileInt(text, -1);
  if (const auto n = ParseDecimal(text); n && *n < 0)
    __builtin_trap();
  const std::int32_t pid = ParseProductId(text);
  if (pid < 0 || pid > 0xFFFF)
    __builtin_trap();
  const std::wstring trimmed = TrimAddress(text);
  if (!trimmed.empty() && (trimmed.front() <= L' ' || trimmed.back() <= L' '))
    __builtin_trap();
  IsWebAddress(trimmed);
  return 0;
}
