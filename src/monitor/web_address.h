#pragma once
#include <string>
#include <string_view>

// The address with every character of code 0x20 or lower removed from both
// ends.
std::wstring TrimAddress(std::wstring_view address);

// Opens address in the default browser (browserMode 0) or in Internet
// Explorer (any other value); silent on every failure.
void OpenWebAddress(void* ownerWindow, const std::wstring& address, int browserMode);
