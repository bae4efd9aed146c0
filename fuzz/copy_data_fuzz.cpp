// WM_COPYDATA payloads of any bytes and size, as any program on the desktop
// may send them: decoded without reading outside the buffer, and commands
// are only ever the two known words.
#include <cstring>
#include <memory>

#include "monitor/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  const std::uintptr_t dwData = data[0] & 1 ? 1 : data[0];
  // An exact-size copy, so AddressSanitizer sees any read past cbData.
  const std::size_t byteCount = size - 1;
  auto buffer = std::make_unique<std::uint8_t[]>(byteCount);
  std::memcpy(buffer.get(), data + 1, byteCount);
  static const TResStrs strings;
  const CopyDataRequest request = DecodeCopyData(dwData, buffer.get(), byteCount, strings);
  if (request.text.size() > byteCount / 2 && request.kind == CopyDataRequest::kShowBalloon &&
      dwData != 1)
    __builtin_trap();
  if (request.kind != CopyDataRequest::kShowBalloon && dwData == 1 &&
      byteCount <= kMaxCopyDataBytes)
    __builtin_trap();
  return 0;
}
