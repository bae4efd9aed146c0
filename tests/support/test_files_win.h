#pragma once
#include <windows.h>

#include <string>

#include "base/unique_handle_win.h"

// A fresh folder under %TEMP% for one test, removed with its files after.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // The folder, ending in a backslash.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

void WriteBytes(const std::wstring& path, const std::string& bytes);
// UTF-16LE with a byte-order mark, as the shipped language files are stored.
void WriteUtf16File(const std::wstring& path, const std::wstring& text);
std::string ReadBytes(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// REG_SZ value under HKEY_CURRENT_USER, or nothing when it is missing.
bool ReadUserRegistryString(const std::wstring& key, const std::wstring& value, std::wstring* out);

// Starts commandLine with its output going to outputPath; null on failure.
UniqueKernelHandle StartProcess(const std::wstring& commandLine, const std::wstring& outputPath);
// Runs the driver tool with args, its output into outputPath; its exit code.
int RunDriver(const std::wstring& args, const std::wstring& outputPath);
// Runs exe with args to its end (30 s at most); its exit code, -1 when it
// did not start.
int RunProgram(const std::wstring& exe, const std::wstring& args, const std::wstring& outputPath);
// Waits (up to 20 s) until the file holds text.
bool WaitForFileText(const std::wstring& path, const std::string& text);
