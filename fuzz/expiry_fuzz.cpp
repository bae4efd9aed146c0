// End dates and day counts of any value, as a certificate and the settings
// file may give them.
#include <cstring>

#include "monitor/expiry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int values[10] = {};
  std::memcpy(values, data, std::min(size, sizeof values));
  const LocalDateTime now{values[4], values[5], values[6], values[7], values[8], values[9]};
  IsExpiryDue(values[0], values[1], values[2], values[3], now);
  return 0;
}
