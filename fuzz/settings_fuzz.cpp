// A settings file of any content: read, written back and read again gives
// the same settings; the settings dialog's record stays within its ranges.
#include "config/app_config.h"
#include "fuzz_profile.h"
#include "ui/settings_form.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = Utf16Text(data, size);
  FakeProfile file;
  FillProfile(file, text, kAppConfigSection);
  TConfigInfo first{};
  ReadAppConfigFrom(file, first);
  FakeProfile written;
  if (WriteAppConfigTo(written, first) != 0)
    __builtin_trap();
  TConfigInfo again{};
  ReadAppConfigFrom(written, again);
  if (!(again == first))
    __builtin_trap();

  TLanguageInfo languages;
  languages.Count = 2;
  languages.LanguageIDs[0] = first.URL.substr(0, 6);
  languages.LanguageIDs[1] = L"1033";
  SettingsControls controls = LoadSettingsControls(true, first, languages);
  controls.certDay = first.URL;
  controls.selectedLanguage = first.CertDay;
  if (const auto saved = BuildSettingsToSave(controls, languages, first)) {
    if (saved->record.CertDay < 0 || saved->record.CertDay > kMaxCertDay)
      __builtin_trap();
  }
  return 0;
}
