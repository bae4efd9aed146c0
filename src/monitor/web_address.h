#pragma once
#include <optional>
#include <string>
#include <string_view>

// The address with every character of code 0x20 or lower removed from both
// ends.
std::wstring TrimAddress(std::wstring_view address);

// Whether a trimmed address is a web address: an http or https address, or a
// bare host name with at least one dot (optionally a port and a path), such
// as "www.example.com/start". A file path, a UNC path, a program name or any
// other scheme is not: the shell would open or start whatever it names. Nor
// is an address with a blank or control character inside.
bool IsWebAddress(std::wstring_view address);

// What a trimmed web address is opened as: itself, or a bare host name with
// "http://" before it, so that the shell never takes it for a file name
// ("portal.example.com" ends in ".com", a program extension). Nothing for an
// address that is no web address.
std::optional<std::wstring> AddressToOpen(std::wstring_view address);

// Opens a web address in the default browser (browserMode 0) or in Internet
// Explorer (any other value); anything else opens nothing. Silent on every
// failure.
void OpenWebAddress(void* ownerWindow, const std::wstring& address, int browserMode);
