// Stands in for the manager executable: records each start in
// "standin-runs.txt" beside itself, then ends.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring log = path;
  log = log.substr(0, log.find_last_of(L'\\') + 1) + L"standin-runs.txt";
  if (FILE* f = _wfopen(log.c_str(), L"ab")) {
    std::fputs("ran\n", f);
    std::fclose(f);
  }
  return 0;
}
