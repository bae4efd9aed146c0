// Stands in for programs the monitor starts (the manager executable, a
// browser): records each start in "standin-runs.txt" beside itself, one line
// "ran" followed by each argument after a tab, in UTF-8, then ends.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring log = path;
  log = log.substr(0, log.find_last_of(L'\\') + 1) + L"standin-runs.txt";
  std::wstring line = L"ran";
  int argc = 0;
  if (wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 1; i < argc; ++i)
      line += std::wstring(L"\t") + argv[i];
    LocalFree(argv);
  }
  line += L"\n";
  char utf8[8192] = {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8,
                                    sizeof utf8, nullptr, nullptr);
  if (FILE* f = _wfopen(log.c_str(), L"ab")) {
    std::fwrite(utf8, 1, static_cast<std::size_t>(n), f);
    std::fclose(f);
  }
  return 0;
}
