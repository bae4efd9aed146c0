#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/profile.h"

// A settings file through the private-profile API. A section is read whole
// at its first key and kept until the next write: under Wine each call of
// the API opens the file again, and the language file's 234 keys one by one
// were most of the start-up's own time.
class PrivateProfile : public ProfileStore {
 public:
  explicit PrivateProfile(std::wstring path) : path_(std::move(path)) {}
  std::wstring ReadString(const std::wstring& section,
                          const std::wstring& key,
                          const std::wstring& fallback) override;
  bool WriteString(const std::wstring& section,
                   const std::wstring& key,
                   const std::wstring& value) override;
  std::vector<std::wstring> SectionNames() override;

 private:
  std::wstring path_;
  // By name as asked; nothing for a section too large to read whole.
  std::map<std::wstring, std::optional<ProfileSection>> sections_;
};

// Settings and language files on disk, through the profile API.
class WinProfileFiles : public ProfileFiles {
 public:
  bool Exists(const std::wstring& path) override;
  std::unique_ptr<ProfileStore> Open(const std::wstring& path) override;
};
