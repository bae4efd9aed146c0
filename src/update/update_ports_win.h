#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "base/unique_handle_win.h"

#include "config/private_profile_win.h"
#include "i18n/res_strs.h"
#include "update/update_check.h"

// Fetches address into localPath with URLDownloadToFileW; its HRESULT, 0 on
// success. An HTTP error answer (a 404 page, say) is a failure even where
// URLDownloadToFileW saves the page and reports success, and leaves no file.
HRESULT DownloadFile(const std::wstring& address, const std::wstring& localPath);

// Sleeps in 10 ms steps for about milliseconds and handles the main thread's
// messages after each step; nothing below 10 ms.
void PumpMessagesFor(int milliseconds);

// Appends one update log line, in the system code page; a file error escapes
// as an exception with the file error's text.
void AppendUpdateLog(const std::wstring& logPath, const std::wstring& message);

// The update check's system, with Win32.
class DesktopUpdatePorts : public UpdatePorts {
 public:
  DesktopUpdatePorts(HWND mainWindow, const TResStrs& strings)
      : mainWindow_(mainWindow), strings_(strings) {}

  std::wstring UpdateFolder() override;
  ProfileFiles& Profiles() override { return profiles_; }
  void RemoveFile(const std::wstring& path) override;
  std::unique_ptr<PendingDownload> StartDownload(const std::wstring& address,
                                                 const std::wstring& path) override;
  void PumpMessagesFor(int milliseconds) override { ::PumpMessagesFor(milliseconds); }
  void AppendUpdateLog(const std::wstring& logPath, const std::wstring& message) override {
    ::AppendUpdateLog(logPath, message);
  }
  bool AskYesNo(const std::wstring& text) override;
  std::unique_ptr<HeldInstaller> HoldInstaller(const std::wstring& path) override;
  std::wstring InstalledVersion() override;
  bool InstalledByPackage() override;
  void RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) override;

 private:
  HWND mainWindow_;
  const TResStrs& strings_;
  WinProfileFiles profiles_;
  std::vector<UniqueFile> startedInstallers_;  // held until the program ends
};
