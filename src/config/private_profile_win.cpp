#include "config/private_profile_win.h"

#include <windows.h>

#include "base/files_win.h"

std::wstring PrivateProfile::ReadString(const std::wstring& section,
                                        const std::wstring& key,
                                        const std::wstring& fallback) {
  wchar_t buffer[kMaxProfileValue + 1] = {};
  const DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), buffer,
                                           static_cast<DWORD>(std::size(buffer)), path_.c_str());
  return std::wstring(buffer, n);
}

bool PrivateProfile::WriteString(const std::wstring& section,
                                 const std::wstring& key,
                                 const std::wstring& value) {
  return WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path_.c_str()) !=
         FALSE;
}

std::vector<std::wstring> PrivateProfile::SectionNames() {
  // The list comes back as NUL-separated names; grow until it is not cut.
  std::wstring buffer(4096, L'\0');
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileSectionNamesW(buffer.data(), static_cast<DWORD>(buffer.size()),
                                       path_.c_str());
    if (n + 2 < buffer.size() || buffer.size() >= (1u << 22))
      break;
    buffer.assign(buffer.size() * 4, L'\0');
  }
  std::vector<std::wstring> names;
  for (std::size_t start = 0; start < n;) {
    const std::size_t end = buffer.find(L'\0', start);
    if (end == std::wstring::npos || end > n)
      break;
    if (end > start)
      names.emplace_back(buffer, start, end - start);
    start = end + 1;
  }
  return names;
}

bool WinProfileFiles::Exists(const std::wstring& path) {
  return FileExists(path);
}

std::unique_ptr<ProfileStore> WinProfileFiles::Open(const std::wstring& path) {
  return std::make_unique<PrivateProfile>(path);
}
