#include "monitor/web_address.h"

std::wstring TrimAddress(std::wstring_view address) {
  while (!address.empty() && address.front() <= L' ')
    address.remove_prefix(1);
  while (!address.empty() && address.back() <= L' ')
    address.remove_suffix(1);
  return std::wstring(address);
}
