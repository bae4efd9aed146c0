#pragma once
#include <string>

#include "testing/fake_profile.h"
#include "fuzz_input.h"

// A settings file from fuzz text: a "key=value" line goes into section, a
// "name|key=value" line into section name; other lines are dropped.
inline void FillProfile(FakeProfile& file, const std::wstring& text, const std::wstring& section) {
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos)
      end = text.size();
    const std::wstring line = text.substr(at, end - at);
    const std::size_t eq = line.find(L'=');
    if (eq != std::wstring::npos) {
      const std::size_t bar = line.substr(0, eq).find(L'|');
      if (bar == std::wstring::npos)
        file.Set(section, line.substr(0, eq), AsFileValue(line.substr(eq + 1)));
      else
        file.Set(line.substr(0, bar), line.substr(bar + 1, eq - bar - 1),
                 AsFileValue(line.substr(eq + 1)));
    }
    at = end + 1;
  }
}
