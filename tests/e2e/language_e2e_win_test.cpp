#include <gtest/gtest.h>

#include "e2e_support_win_test.h"
#include "base/files_win.h"

namespace {

struct Shown {
  std::wstring applicationTitle;
  std::wstring mainTitle;
  std::wstring registryValue;
};

std::wstring Caption(HWND hwnd) {
  wchar_t text[512] = {};
  GetWindowTextW(hwnd, text, 512);
  return text;
}

// Starts the monitor, reads what it shows and recorded, and ends it.
Shown RunAndLook(InstalledMonitor& monitor) {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Veltrox");
  Shown shown;
  HANDLE process = monitor.Start();
  HWND main = monitor.WaitForMainWindow();
  EXPECT_NE(main, nullptr);
  if (!main)
    return shown;
  HWND app = InstalledMonitor::FindProcessWindow(process, L"TQZCorvanexE_Application");
  WaitUntil([&] { return !Caption(app).empty(); });
  shown.applicationTitle = Caption(app);
  shown.mainTitle = Caption(main);
  ReadUserRegistryString(L"Software\\Veltrox", L"CorvanexE", &shown.registryValue);
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
  return shown;
}

}  // namespace

TEST(MonitorLanguage, FirstRunIsEnglishWhateverTheTemplateSays) {
  InstalledMonitor monitor;  // the shipped template names Chinese
  const Shown shown = RunAndLook(monitor);
  EXPECT_EQ(shown.applicationTitle, L"PKI Manager   ");
  EXPECT_EQ(shown.mainTitle, L"About");
  EXPECT_EQ(shown.registryValue, L"CorvanexE.EN.dll");

  // From the next start on, the template's language is in effect.
  const Shown next = RunAndLook(monitor);
  EXPECT_EQ(next.applicationTitle, L"PKI管理工具   ");
  EXPECT_EQ(next.mainTitle, L"关于");
  EXPECT_EQ(next.registryValue, L"CorvanexE.CN.dll");
}

TEST(MonitorLanguage, NoLanguagesFolderKeepsTheBuiltInTexts) {
  InstalledMonitor monitor;
  RemoveTree(monitor.appDir() + L"Languages");
  const Shown shown = RunAndLook(monitor);
  EXPECT_EQ(shown.mainTitle, L"关于");
  EXPECT_EQ(shown.registryValue, L"CorvanexE.EN.dll");
}
