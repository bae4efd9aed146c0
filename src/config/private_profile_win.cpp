#include "config/private_profile_win.h"

#include <windows.h>

#include <algorithm>

#include "base/files_win.h"

namespace {

constexpr std::size_t kMaxListChars = 1u << 22;

// A NUL-separated list the profile API writes into a buffer (read(buffer,
// size) returns the characters written): the buffer grows until the list is
// not cut, up to kMaxListChars. *cut tells whether it still was.
template <class Read>
std::wstring ReadList(Read read, bool* cut = nullptr) {
  std::wstring buffer(16384, L'\0');
  for (;;) {
    const DWORD n = read(buffer.data(), static_cast<DWORD>(buffer.size()));
    const bool whole = n + 2 < buffer.size();
    if (whole || buffer.size() >= kMaxListChars) {
      if (cut)
        *cut = !whole;
      buffer.resize(std::min<std::size_t>(n, buffer.size()));
      return buffer;
    }
    buffer.assign(buffer.size() * 4, L'\0');
  }
}

}  // namespace

std::wstring PrivateProfile::ReadString(const std::wstring& section,
                                        const std::wstring& key,
                                        const std::wstring& fallback) {
  auto cached = sections_.find(section);
  if (cached == sections_.end()) {
    bool cut = false;
    const std::wstring entries = ReadList(
        [&](wchar_t* buffer, DWORD size) {
          return GetPrivateProfileSectionW(section.c_str(), buffer, size, path_.c_str());
        },
        &cut);
    // A section too large to read whole (a line of millions of characters)
    // is read one key at a time, so every other key still counts.
    cached = sections_.emplace(section, cut ? std::nullopt : std::optional(ProfileSection(entries)))
                 .first;
  }
  if (!cached->second) {
    std::wstring value(kMaxProfileValue + 1, L'\0');
    const DWORD n =
        GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), value.data(),
                                 static_cast<DWORD>(value.size()), path_.c_str());
    value.resize(std::min<std::size_t>(n, kMaxProfileValue));
    return value;
  }
  if (std::optional<std::wstring> value = cached->second->Find(key))
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
  const std::wstring list = ReadList([&](wchar_t* buffer, DWORD size) {
    return GetPrivateProfileSectionNamesW(buffer, size, path_.c_str());
  });
  std::vector<std::wstring> names;
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = std::min(list.find(L'\0', start), list.size());
    if (end > start)
      names.emplace_back(list, start, end - start);
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
