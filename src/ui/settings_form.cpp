#include "ui/settings_form.h"

#include <algorithm>

#include "config/profile.h"
#include "monitor/web_address.h"

namespace {

std::optional<int> LanguageIdOf(const TLanguageInfo& languages, int entry) {
  return ParseDecimal(languages.LanguageIDs[entry]);
}

}  // namespace

SettingsControls LoadSettingsControls(bool readOk,
                                      const TConfigInfo& stored,
                                      const TLanguageInfo& languages) {
  SettingsControls c;
  if (readOk) {
    c.openUrl = stored.URLOpenMode != 0;
    c.url = stored.URL;
    c.internetExplorer = stored.BrowserMode != 0;
    c.certTips = stored.CertTips != 0;
    c.certDay = std::to_wstring(stored.CertDay);
  }
  const int count = std::clamp(languages.Count, 0, TLanguageInfo::kCapacity);
  for (int i = 0; i < count; ++i) {
    const auto id = LanguageIdOf(languages, i);
    if (!id)
      continue;
    c.languageNames.push_back(languages.LanguageNames[i]);
    c.languageEntries.push_back(i);
    if (readOk && *id == stored.LanguageID)
      c.selectedLanguage = static_cast<int>(c.languageEntries.size()) - 1;  // the last match
  }
  c.defaultPin = readOk && stored.DefaultPINMode != 0;
  c.skipExpired = readOk && stored.SkipExpiredCertificates == 1;
  return c;
}

std::optional<SettingsToSave> BuildSettingsToSave(const SettingsControls& c,
                                                  const TLanguageInfo& languages,
                                                  const TConfigInfo& stored) {
  if (c.openUrl && c.url.empty())
    return std::nullopt;
  SettingsToSave out;
  TConfigInfo& r = out.record;
  r.URLOpenMode = c.openUrl ? 1 : 0;
  r.URL = c.openUrl ? TrimAddress(c.url) : std::wstring();
  r.BrowserMode = c.internetExplorer ? 1 : 0;
  r.CertTips = c.certTips ? 1 : 0;
  // A typed number outside the range is brought into it; anything else is 0.
  const bool digitsOnly =
      !c.certDay.empty() && std::all_of(c.certDay.begin(), c.certDay.end(),
                                        [](wchar_t ch) { return ch >= L'0' && ch <= L'9'; });
  const auto days = ParseDecimal(c.certDay, 9);
  r.CertDay = digitsOnly ? std::clamp(days.value_or(kMaxCertDay), 0, kMaxCertDay) : 0;
  r.DefaultPINMode = c.defaultPin ? 1 : 0;
  r.SkipExpiredCertificates = c.skipExpired ? 1 : 0;
  r.LanguageID = stored.LanguageID;
  const bool selected =
      c.selectedLanguage >= 0 && c.selectedLanguage < static_cast<int>(c.languageEntries.size());
  if (selected) {
    const int entry = c.languageEntries[c.selectedLanguage];
    // The list is read again at save time: the entry must still be there.
    if (entry < languages.Count) {
      if (const auto id = LanguageIdOf(languages, entry)) {
        r.LanguageID = *id;
        out.languageCsp = languages.LanguageCSPs[entry];
      }
    }
  }
  return out;
}
