#include "i18n/language.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "config/fixed_names.h"

namespace {

constexpr wchar_t kCaptionSection[] = L"Caption";

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  const auto lower = [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](wchar_t x, wchar_t y) { return lower(x) == lower(y); });
}

std::wstring LanguagesFolder(const std::wstring& exeDir) {
  return exeDir + names::kLanguagesFolder;
}

// Loads the file of the matching language, or the English file; returns the
// index that matched (-1 for none).
int LoadChosenLanguage(ProfileFiles& files,
                       const std::wstring& exeDir,
                       int languageId,
                       TResStrs& table,
                       TLanguageInfo& list) {
  ReadLanguageList(files, LanguagesFolder(exeDir) + names::kLanguageListFile, list);
  const int index = FindLanguage(list, languageId);
  const std::wstring file = index >= 0 ? list.LanguageFiles[index] : names::kFallbackLanguageFile;
  LoadLanguageFile(files, LanguagesFolder(exeDir) + file, table);
  return index;
}

}  // namespace

void LoadLanguageFile(ProfileFiles& files, const std::wstring& path, TResStrs& table) {
  if (!files.Exists(path))
    return;
  auto profile = files.Open(path);
  // A file without a readable "Caption" section (empty, random bytes, UTF-16
  // without its byte-order mark) counts as missing.
  const auto sections = profile->SectionNames();
  if (std::none_of(sections.begin(), sections.end(),
                   [](const std::wstring& name) { return EqualsNoCase(name, kCaptionSection); }))
    return;
  for (const auto& entry : kResTextEntries)
    table.*entry.member = profile->ReadString(kCaptionSection, entry.key, L"");
  for (const auto& entry : kResIntEntries)
    table.*entry.member = ReadProfileInt(*profile, kCaptionSection, entry.key, entry.readDefault);
  // The names the program acts on are never left empty by a language file.
  static const TResStrs builtIn;
  for (std::wstring TResStrs::*name :
       {&TResStrs::PKCS11Name, &TResStrs::PROVIDER_NAME, &TResStrs::CallMainAppName}) {
    const std::wstring& value = table.*name;
    if (std::all_of(value.begin(), value.end(), [](wchar_t c) { return c <= L' '; }))
      table.*name = builtIn.*name;
  }
}

int ReadLanguageList(ProfileFiles& files, const std::wstring& path, TLanguageInfo& list) {
  list = TLanguageInfo{};
  try {
    if (!files.Exists(path))
      return 0;
    auto profile = files.Open(path);
    const auto sections = profile->SectionNames();
    for (const auto& section : sections) {
      if (list.Count == TLanguageInfo::kCapacity)
        break;
      const int i = list.Count;
      list.LanguageIDs[i] = profile->ReadString(section, L"LanguageID", L"1033");
      list.LanguageNames[i] = profile->ReadString(section, L"LnaguageName", L"English");
      list.LanguageFiles[i] = profile->ReadString(section, L"LanguageFile", L"EN_1033.lng");
      list.LanguageCSPs[i] = profile->ReadString(section, L"LanguageCSP", L"");
      ++list.Count;
    }
    return 0;
  } catch (const std::exception&) {
    return 1;
  }
}

int FindLanguage(const TLanguageInfo& list, int languageId) {
  for (int i = 0; i < list.Count; ++i)
    if (ParseDecimal(list.LanguageIDs[i]) == languageId)
      return i;
  return -1;
}

std::wstring SelectLanguage(ProfileFiles& files,
                            const std::wstring& exeDir,
                            int languageId,
                            TResStrs& table) {
  TLanguageInfo list;
  const int index = LoadChosenLanguage(files, exeDir, languageId, table, list);
  return index >= 0 ? list.LanguageCSPs[index] : names::kFallbackLanguageDll;
}

void SelectLanguageAfterSettings(ProfileFiles& files,
                                 const std::wstring& exeDir,
                                 const std::wstring& userConfigPath,
                                 TConfigInfo& appConfig,
                                 TResStrs& table,
                                 const Policy& policy) {
  appConfig = TConfigInfo{};
  ReadAppConfigFrom(*files.Open(userConfigPath), appConfig);  // a missing file gives defaults
  appConfig = WithPolicySettings(policy, appConfig);
  TLanguageInfo list;
  LoadChosenLanguage(files, exeDir, appConfig.LanguageID, table, list);
}
