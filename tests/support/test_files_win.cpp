#include "tests/support/test_files_win.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_paths.h"
#include "base/files_win.h"

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + L"monitor-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++) + L"\\";
  CreateFolderTree(path_);
}

TempFolder::~TempFolder() {
  RemoveTree(path_);
}

void RemoveTree(const std::wstring& path) {
  std::wstring folder = path;
  if (!folder.empty() && folder.back() != L'\\')
    folder += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..")
        continue;
      const std::wstring full = folder + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full);
      } else {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(full.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void WriteUtf16File(const std::wstring& path, const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  WriteBytes(path, bytes);
}

std::string ReadBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool ReadUserRegistryString(const std::wstring& key, const std::wstring& value, std::wstring* out) {
  wchar_t data[1024] = {};
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value.c_str(), RRF_RT_REG_SZ, nullptr, data,
                   &size) != ERROR_SUCCESS)
    return false;
  *out = data;
  return true;
}

UniqueKernelHandle StartProcess(const std::wstring& commandLine, const std::wstring& outputPath) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueFile out(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out)
    return UniqueKernelHandle();
  STARTUPINFOW si{sizeof si};
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out.get();
  si.hStdError = out.get();
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::wstring cmd = commandLine;
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    return UniqueKernelHandle();
  CloseHandle(pi.hThread);
  return UniqueKernelHandle(pi.hProcess);
}

int RunDriver(const std::wstring& args, const std::wstring& outputPath) {
  return RunProgram(DRIVER_EXE_PATH, args, outputPath);
}

int RunProgram(const std::wstring& exe, const std::wstring& args, const std::wstring& outputPath) {
  UniqueKernelHandle p = StartProcess(L"\"" + exe + L"\" " + args, outputPath);
  if (!p)
    return -1;
  WaitForSingleObject(p.get(), 30000);
  DWORD code = 1;
  GetExitCodeProcess(p.get(), &code);
  return static_cast<int>(code);
}

bool WaitForFileText(const std::wstring& path, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadBytes(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
