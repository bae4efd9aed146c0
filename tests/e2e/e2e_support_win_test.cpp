#include "e2e_support_win_test.h"

#include <commctrl.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "test_paths.h"
#include "base/files_win.h"
#include "base/text_win.h"
#include "tests/support/test_stores_win.h"

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void RemoveProviderCertificates() {
  HMODULE dll = LoadLibraryW(PRODUCT_DIR_PATH L"CorvanexMgr.dll");
  auto remove = reinterpret_cast<int32_t(__stdcall*)(const char*)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "remove_all_certs_from_store")));
  const std::wstring provider = kTestProvider;
  remove(std::string(provider.begin(), provider.end()).c_str());
  FreeLibrary(dll);
}

int CountProviderCertificates() {
  return CountCertificatesLinkedTo(kTestProvider);
}

int CountCertificatesLinkedTo(const wchar_t* provider) {
  const auto my = ListStore(L"MY");
  return static_cast<int>(std::count_if(
      my.begin(), my.end(), [&](const StoredCert& c) { return c.provider == provider; }));
}

bool StoreHas(const wchar_t* store, const std::wstring& subject) {
  const auto certs = ListStore(store);
  return std::any_of(certs.begin(), certs.end(),
                     [&](const StoredCert& c) { return c.subject == subject; });
}

bool ChooseTrayMenuItem(int index) {
  TempFolder out;
  return RunDriver(L"tray rbutton", out.path() + L"t.txt") == 0 &&
         RunDriver(L"menu-choose --index " + std::to_wstring(index), out.path() + L"m.txt") == 0;
}

std::string DiagnosticLog() {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(L"C:\\KeyLog\\QZ_MonLog*.txt", &found);
  if (find == INVALID_HANDLE_VALUE)
    return {};
  FindClose(find);
  return ReadBytes(std::wstring(L"C:\\KeyLog\\") + found.cFileName);
}

HWND OpenSettingsDialog(HANDLE process) {
  if (!ChooseTrayMenuItem(1))
    return nullptr;
  HWND dialog = nullptr;
  WaitUntil([&] {
    return (dialog = InstalledMonitor::FindProcessWindow(process, L"TProjectConfigForm")) &&
           IsWindowVisible(dialog);
  });
  return dialog;
}

UniqueKernelHandle StartManagerStandIn(const std::wstring& outputPath,
                                       const std::wstring& options) {
  UniqueKernelHandle manager =
      StartProcess(L"\"" DRIVER_EXE_PATH L"\" manager " + options, outputPath);
  if (!manager || !WaitForFileText(outputPath, "manager window ready"))
    return {};
  return manager;
}

std::optional<std::wstring> AnswerMessageBox(HANDLE process,
                                             const std::wstring& caption,
                                             int button,
                                             std::chrono::milliseconds timeout) {
  HWND box = nullptr;
  if (!WaitUntil(
          [&] {
            return (box = InstalledMonitor::FindProcessWindow(process, L"#32770",
                                                              caption.c_str())) != nullptr;
          },
          timeout))
    return std::nullopt;
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);  // a message box's text control
  PostMessageW(box, WM_COMMAND, button, 0);
  WaitUntil([&] { return !IsWindow(box); }, std::chrono::seconds(5));
  return text;
}

std::vector<std::wstring> AnswerMessageBoxes(HANDLE process,
                                             const std::wstring& caption,
                                             std::chrono::milliseconds quiet) {
  std::vector<std::wstring> texts;
  while (auto text = AnswerMessageBox(process, caption, IDOK, quiet))
    texts.push_back(*text);
  return texts;
}

namespace {

void CopyTree(const std::wstring& from, const std::wstring& to) {
  CreateFolderTree(to);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((from + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      CopyTree(from + name + L"\\", to + name + L"\\");
    else
      CopyFileW((from + name).c_str(), (to + name).c_str(), FALSE);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

struct FindData {
  DWORD pid;
  const wchar_t* className;
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK FindByProcess(HWND hwnd, LPARAM lp) {
  auto* data = reinterpret_cast<FindData*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[256] = {}, caption[256] = {};
  GetClassNameW(hwnd, cls, 256);
  if (pid != data->pid || wcscmp(cls, data->className) != 0)
    return TRUE;
  if (data->caption) {
    GetWindowTextW(hwnd, caption, 256);
    if (wcscmp(caption, data->caption) != 0 || !IsWindowVisible(hwnd))
      return TRUE;
  }
  data->found = hwnd;
  return FALSE;
}

}  // namespace

InstalledMonitor::InstalledMonitor()
    : appDir_(root_.path() + L"app\\"), appData_(root_.path() + L"appdata\\") {
  CopyTree(PRODUCT_DIR_PATH, appDir_);
  CopyTree(DEMO_TOKENS_PATH L"tokens\\", root_.path() + L"tokens\\");
  CopyFileW(BIN_DIR_PATH L"vtoken.dll", (appDir_ + L"v9arc_pkcs11.dll").c_str(), FALSE);
  WriteBytes(vtokenConfig(), "[slots]\r\ncount=2\r\nslot0=\r\nslot1=\r\n");
  // The update check asks a port where nothing listens: refused at once, not
  // left to name resolution of the shipped address on a machine offline.
  CreateFolderTree(userDataDir() + L"update\\");
  WriteBytes(
      userDataDir() + L"update\\ClientConfig.ini",
      "[Mgr]\r\nVersion=1.0.0.1\r\n[URL]\r\nVersionFile=http://127.0.0.1:9/ServerConfig.txt\r\n");
}

void InstalledMonitor::WriteUserSettings(const std::string& appConfigLines) {
  CreateFolderTree(userDataDir());
  WriteBytes(userDataDir() + L"UserConfig.ini", "[APPConfig]\r\n" + appConfigLines);
}

void InstalledMonitor::Plug(int slot, const std::wstring& token, const std::wstring& pid) {
  RunDriver(L"plug --config \"" + vtokenConfig() + L"\" --slot " + std::to_wstring(slot) +
                L" --token \"" + tokenFolder(token) + L"\" --pid " + pid,
            root_.path() + L"driver.txt");
}

int InstalledMonitor::RunAsManager(const std::wstring& args, const std::wstring& outputPath) {
  const std::wstring manager = appDir_ + L"V9ArcPKIMgr.exe";
  CopyFileW(DRIVER_EXE_PATH, manager.c_str(), FALSE);  // in place of the real manager
  return RunProgram(manager, args, outputPath);
}

void InstalledMonitor::Unplug(int slot, const std::wstring& pid) {
  RunDriver(L"unplug --config \"" + vtokenConfig() + L"\" --slot " + std::to_wstring(slot) +
                L" --pid " + pid,
            root_.path() + L"driver.txt");
}

InstalledMonitor::~InstalledMonitor() {
  for (auto& p : processes_) {
    if (WaitForSingleObject(p.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(p.get(), 99);
      WaitForSingleObject(p.get(), 10000);
    }
  }
}

HANDLE InstalledMonitor::Start() {
  // The child gets our environment with APPDATA pointing at its own folder.
  const std::wstring saved = GetEnv(L"APPDATA"), savedDebug = GetEnv(L"WINEDEBUG");
  SetEnvironmentVariableW(L"APPDATA", appData_.substr(0, appData_.size() - 1).c_str());
  if (!wineOutput_.empty())
    SetEnvironmentVariableW(L"WINEDEBUG", L"+eventlog");
  std::wstring exe = appDir_ + L"CorvanexEMon.exe";
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  const BOOL ok = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 appDir_.c_str(), &si, &pi);
  SetEnvironmentVariableW(L"APPDATA", saved.c_str());
  SetEnvironmentVariableW(L"WINEDEBUG", savedDebug.empty() ? nullptr : savedDebug.c_str());
  if (!ok)
    return nullptr;
  CloseHandle(pi.hThread);
  processes_.emplace_back(pi.hProcess);
  return pi.hProcess;
}

void InstalledMonitor::CaptureEvents() {
  // A Unix path: the test runner's.
  std::wstring path = GetEnv(L"MONITOR_WINE_OUTPUT");
  ASSERT_FALSE(path.empty()) << "the test runner collects no Wine output";
  std::replace(path.begin(), path.end(), L'/', L'\\');
  wineOutput_ = L"Z:" + path;
  wineOutputStart_ = ReadBytes(wineOutput_).size();
}

std::string InstalledMonitor::CapturedEvents() const {
  if (wineOutput_.empty())
    return {};
  const std::string all = ReadBytes(wineOutput_);
  return all.size() > wineOutputStart_ ? all.substr(wineOutputStart_) : std::string();
}

HWND InstalledMonitor::FindProcessWindow(HANDLE process,
                                         const wchar_t* className,
                                         const wchar_t* caption) {
  FindData data{GetProcessId(process), className, caption, nullptr};
  EnumWindows(FindByProcess, reinterpret_cast<LPARAM>(&data));
  return data.found;
}

HWND InstalledMonitor::WaitForMainWindow() {
  if (processes_.empty())
    return nullptr;
  HANDLE process = processes_.back().get();
  // Start-up has finished once the application window carries its title: a
  // token plugged earlier would meet the first token scan instead.
  HWND hwnd = nullptr;
  WaitUntil([&] {
    hwnd = FindProcessWindow(process, L"TQZCorvanexE_TrayIconCer");
    HWND application = FindProcessWindow(process, L"TQZCorvanexE_Application");
    return (hwnd && application && GetWindowTextLengthW(application) > 0) ||
           WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  });
  return hwnd;
}

std::optional<DWORD> InstalledMonitor::WaitForExit(HANDLE process,
                                                   std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return code;
}

void InstalledMonitor::EndSession(HANDLE process) {
  HWND hwnd = FindProcessWindow(process, L"TQZCorvanexE_TrayIconCer");
  if (!hwnd)
    return;
  SendMessageTimeoutW(hwnd, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, nullptr);
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

bool MonitorScenario::StartWith(const std::string& settingsLines) {
  if (!settingsLines.empty())
    monitor.WriteUserSettings(settingsLines);
  process = monitor.Start();
  return monitor.WaitForMainWindow() != nullptr;
}

void MonitorScenario::End() {
  monitor.EndSession(process);
  EXPECT_TRUE(InstalledMonitor::WaitForExit(process));
}

std::vector<std::vector<std::wstring>> ListViewRows(HWND list, int columns) {
  std::vector<std::vector<std::wstring>> rows;
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  UniqueKernelHandle process(
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
  if (!process)
    return rows;
  // The item and its text buffer live in the list's process, where the list
  // writes them.
  constexpr int kChars = 512;
  auto* remote = static_cast<char*>(VirtualAllocEx(process.get(), nullptr,
                                                   sizeof(LVITEMW) + kChars * sizeof(wchar_t),
                                                   MEM_COMMIT, PAGE_READWRITE));
  if (!remote)
    return rows;
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < count; ++row) {
    std::vector<std::wstring> texts;
    for (int column = 0; column < columns; ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
      item.cchTextMax = kChars;
      wchar_t text[kChars] = {};
      WriteProcessMemory(process.get(), remote, &item, sizeof item, nullptr);
      SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
      ReadProcessMemory(process.get(), item.pszText, text, sizeof text - sizeof(wchar_t), nullptr);
      texts.emplace_back(text);
    }
    rows.push_back(std::move(texts));
  }
  VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
  return rows;
}

namespace {

std::wstring WindowsForm(const std::string& unixPath) {
  std::wstring path = FromAnsi(unixPath);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

}  // namespace

LoopbackServer::LoopbackServer(const std::string& name)
    : unixRoot_(std::string(BUILD_DIR_UNIX) + "/update-lab/" + name),
      root_(L"Z:" + WindowsForm(unixRoot_) + L"\\") {
  RemoveTree(root_);
  CreateFolderTree(root_);
  const std::string command = "/usr/bin/python3 " SOURCE_DIR_UNIX
                              "/tests/e2e/update_server.py --root " +
                              unixRoot_ + " --port-file " + unixRoot_ + "/port --stop-file " +
                              unixRoot_ + "/stop --fixed-port " + TEST_CRL_PORT;
  std::wstring commandLine = FromAnsi(command);
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(L"Z:\\usr\\bin\\python3", commandLine.data(), nullptr, nullptr, FALSE, 0,
                     nullptr, nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  WaitUntil([&] { return FileExists(root_ + L"port"); });
  port_ = FromAnsi(ReadBytes(root_ + L"port"));
}

LoopbackServer::~LoopbackServer() {
  WriteBytes(root_ + L"stop", "");
}

std::string LoopbackServer::Requests() const {
  return ReadBytes(root_ + L"requests.log");
}

void LoopbackServer::OfferVersion(const std::wstring& version, const std::wstring& installerPath) {
  WriteBytes(root_ + L"ServerConfig.txt",
             ToAnsi(L"[Mgr]\r\nVersion=" + version + L"\r\n[URL]\r\nUpdateFile=" +
                    Url(installerPath) + L"\r\n"));
}

void LoopbackServer::ServeAs(const std::wstring& file, const std::wstring& name) {
  CopyFileW(file.c_str(), (root_ + name).c_str(), FALSE);
}

HWND InstallerWindow(std::chrono::milliseconds timeout) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        EnumWindows(
            [](HWND window, LPARAM result) -> BOOL {
              wchar_t caption[128] = {};
              GetWindowTextW(window, caption, 128);
              if (!IsWindowVisible(window) || wcsncmp(caption, L"CorvanexE Setup", 15) != 0)
                return TRUE;
              *reinterpret_cast<HWND*>(result) = window;
              return FALSE;
            },
            reinterpret_cast<LPARAM>(&found));
        return found != nullptr;
      },
      timeout);
  return found;
}

bool ClickThroughInstaller(std::chrono::milliseconds timeout) {
  HWND installer = InstallerWindow();
  if (!installer)
    return false;
  DWORD installerId = 0;
  GetWindowThreadProcessId(installer, &installerId);
  UniqueKernelHandle installing(OpenProcess(SYNCHRONIZE, FALSE, installerId));
  return installing &&
         WaitUntil(
             [&] {
               if (HWND page = InstallerWindow(std::chrono::milliseconds(0)))
                 if (HWND button = GetDlgItem(page, IDOK); button && IsWindowEnabled(button))
                   PostMessageW(button, BM_CLICK, 0, 0);
               return WaitForSingleObject(installing.get(), 500) == WAIT_OBJECT_0;
             },
             timeout);
}
