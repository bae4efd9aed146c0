#include "config/private_profile_win.h"

#include <windows.h>

#include "base/files_win.h"

std::wstring PrivateProfile::ReadString(const std::wstring& section,
                                        const std::wstring& key,
                                        const std::wstring& fallback) {
  auto cached = sections_.find(section);
  if (cached == sections_.end()) {
    // The entries come back NUL-separated; grow until they are not cut.
    std::wstring buffer(16384, L'\0');
    DWORD n = 0;
    for (;;) {
      n = GetPrivateProfileSectionW(section.c_str(), buffer.data(),
                                    static_cast<DWORD>(buffer.size()), path_.c_str());
      if (n + 2 < buffer.size() || buffer.size() >= (1u << 22))
        break;
      buffer.assign(buffer.size() * 4, L'\0');
    }
    cached = sections_.emplace(section, ProfileSection(std::wstring_view(buffer.data(), n))).first;
  }
  if (std::optional<std::wstring> value = cached->second.Find(key))
    return *std::move(value);
  // As the API gives a missing key's default: without trailing blanks.
  std::wstring value = fallback.substr(0, kMaxProfileValue);
  value.erase(value.find_last_not_of(L' ') + 1);
  return value;
}

bool PrivateProfile::WriteString(const std::wstring& section,
                                 const std::wstring& key,
                                 const std::wstring& value) {
  sections_.clear();
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
