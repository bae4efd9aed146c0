// A language list of any content, and the choice of a language from it.
#include "testing/fake_profile.h"
#include "fuzz_input.h"
#include "i18n/language.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = Utf16Text(data, size);
  FakeProfileFiles files;
  FakeProfile& list = files.File(L"C:\\app\\Languages\\LanguageInfo.ini");
  std::wstring section = L"L0";
  std::size_t at = 0;
  int sections = 0;
  while (at <= text.size()) {
    std::size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos)
      end = text.size();
    const std::wstring line = text.substr(at, end - at);
    if (!line.empty() && line[0] == L'[')
      section = line.substr(1) + std::to_wstring(++sections);
    else if (const std::size_t eq = line.find(L'='); eq != std::wstring::npos)
      list.Set(section, line.substr(0, eq), AsFileValue(line.substr(eq + 1)));
    at = end + 1;
  }
  files.File(L"C:\\app\\Languages\\EN_1033.lng").Set(L"Caption", L"K_Dead", AsFileValue(text));
  TLanguageInfo languages;
  ReadLanguageList(files, L"C:\\app\\Languages\\LanguageInfo.ini", languages);
  if (languages.Count < 0 || languages.Count > TLanguageInfo::kCapacity)
    __builtin_trap();
  TResStrs table;
  SelectLanguage(files, L"C:\\app\\", size > 0 ? data[0] * 16 : 1033, table);
  return 0;
}
