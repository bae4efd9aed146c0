#include "update/update_ports_win.h"

#include <shellapi.h>
#include <urlmon.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "config/data_folders.h"
#include "update/installer_signature_win.h"
#include "update/restart_after_win.h"
#include "ui/error_report.h"
#include "win32/event_log_win.h"
#include "base/files_win.h"
#include "base/shared_names.h"
#include "base/system_library_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

namespace {

// Records the HTTP status of the answer. URLDownloadToFileW hands its
// callback's interfaces to the HTTP protocol, which asks for IHttpNegotiate.
class HttpStatusCallback : public IBindStatusCallback, public IHttpNegotiate {
 public:
  DWORD status = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IBindStatusCallback)
      *out = static_cast<IBindStatusCallback*>(this);
    else if (riid == IID_IHttpNegotiate)
      *out = static_cast<IHttpNegotiate*>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  // Lives on the caller's stack for the whole synchronous download.
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additional) override {
    if (additional)
      *additional = nullptr;
    return S_OK;
  }
  STDMETHODIMP OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additional) override {
    status = code;
    if (additional)
      *additional = nullptr;
    return S_OK;
  }
};

struct DownloadJob {
  std::wstring address;
  std::wstring path;
};

// The worker: fetches the job it is given (and owns) and ends with the
// download's HRESULT as its exit code.
DWORD WINAPI DownloadInstallerThread(LPVOID parameter) {
  const std::unique_ptr<DownloadJob> job(static_cast<DownloadJob*>(parameter));
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HRESULT result = DownloadFile(job->address, job->path);
  if (SUCCEEDED(com))
    CoUninitialize();
  return static_cast<DWORD>(result);
}

class WorkerDownload : public PendingDownload {
 public:
  explicit WorkerDownload(HANDLE thread, HRESULT startError)
      : thread_(thread), startError_(startError) {}
  std::int32_t ExitCode() override {
    if (!thread_)
      return startError_;
    DWORD code = 0;
    if (!GetExitCodeThread(thread_.get(), &code))
      return HRESULT_FROM_WIN32(GetLastError());
    return static_cast<std::int32_t>(code);
  }

 private:
  UniqueKernelHandle thread_;
  HRESULT startError_;
};

}  // namespace

HRESULT DownloadFile(const std::wstring& address, const std::wstring& localPath) {
  using DownloadFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);
  static const auto download = SystemFunction<DownloadFn>(L"urlmon.dll", "URLDownloadToFileW");
  if (!download)
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  HttpStatusCallback callback;
  const HRESULT result = download(nullptr, address.c_str(), localPath.c_str(), 0, &callback);
  // Wine reports success even where a folder stands in the file's place.
  if (SUCCEEDED(result) && callback.status < 400 && !FileExists(localPath))
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  if (FAILED(result) || callback.status < 400)
    return result;
  // The server's error page is neither a version file nor an installer.
  DeleteFileW(localPath.c_str());
  return callback.status == 404 || callback.status == 410 ? INET_E_RESOURCE_NOT_FOUND
                                                          : INET_E_DOWNLOAD_FAILURE;
}

void PumpMessagesFor(int milliseconds) {
  for (int step = 0; step < milliseconds / 10; ++step) {
    Sleep(10);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // The program is ending: leave the quit to the main loop.
        PostQuitMessage(static_cast<int>(msg.wParam));
        return;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

void AppendUpdateLog(const std::wstring& logPath, const std::wstring& message) {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  wchar_t date[128] = L"";
  wchar_t time[128] = L"";
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, date, 128);
  GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, time, 128);
  const std::string line = ToAnsi(UpdateLogLine(
      {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}, date, time, message));
  if (IsMarkedReadOnly(logPath))
    throw std::runtime_error(FileErrorText(ERROR_ACCESS_DENIED));
  UniqueFile file(CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file ||
      !WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size())
    throw std::runtime_error(FileErrorText(GetLastError()));
}

std::wstring DesktopUpdatePorts::UpdateFolder() {
  return GetUpdateFolder();
}

void DesktopUpdatePorts::RemoveFile(const std::wstring& path) {
  DeleteFileW(path.c_str());
}

std::unique_ptr<PendingDownload> DesktopUpdatePorts::StartDownload(const std::wstring& address,
                                                                   const std::wstring& path) {
  using DeleteEntryFn = BOOL(WINAPI*)(LPCWSTR);
  static const auto deleteEntry =
      SystemFunction<DeleteEntryFn>(L"wininet.dll", "DeleteUrlCacheEntryW");
  if (deleteEntry)
    deleteEntry(address.c_str());
  auto job = std::make_unique<DownloadJob>(DownloadJob{address, path});
  const HANDLE thread = CreateThread(nullptr, 0, DownloadInstallerThread, job.get(), 0, nullptr);
  if (!thread)
    return std::make_unique<WorkerDownload>(nullptr, HRESULT_FROM_WIN32(GetLastError()));
  job.release();  // the worker owns it now, and may outlive this check
  return std::make_unique<WorkerDownload>(thread, S_OK);
}

bool DesktopUpdatePorts::AskYesNo(const std::wstring& text) {
  return MessageBoxW(mainWindow_, text.c_str(), strings_.P_MSGTitle.c_str(),
                     MB_YESNO | MB_ICONQUESTION | MB_TOPMOST) == IDYES;
}

namespace {

// Beside the downloaded installer, in the per-user update folder.
constexpr wchar_t kRestartHelperName[] = L"CorvanexE_Restart.exe";

// Open for reading with read sharing only: no one can write, rename or
// delete the file while it is held, and starting it is still allowed. Once
// started, it stays held until this program ends (the installer ends it).
class WinHeldInstaller : public HeldInstaller {
 public:
  WinHeldInstaller(HWND owner, std::wstring path, UniqueFile file, std::vector<UniqueFile>& kept)
      : owner_(owner), path_(std::move(path)), file_(std::move(file)), kept_(kept) {}
  InstallerSignature Signature() override {
    return CheckInstallerSignature(path_, file_.get(), ModuleFileName(nullptr));
  }
  std::wstring FileVersion() override { return GetFileVersionText(path_); }
  // Started by the shell, so a declined elevation prompt is seen here
  // (ERROR_CANCELLED) and reported, not taken for a start.
  std::int32_t Start() override {
    SHELLEXECUTEINFOW run{sizeof run};
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    run.hwnd = owner_;
    run.lpVerb = L"open";
    run.lpFile = path_.c_str();
    run.nShow = SW_SHOW;
    if (!ShellExecuteExW(&run)) {
      const DWORD error = GetLastError();
      return error ? static_cast<std::int32_t>(error) : ERROR_GEN_FAILURE;
    }
    kept_.push_back(std::move(file_));
    const UniqueKernelHandle installer(run.hProcess);
    if (installer)
      StartRestartAfter(installer.get(),
                        path_.substr(0, path_.find_last_of(L'\\') + 1) + kRestartHelperName,
                        ModuleFileName(nullptr));
    return 0;
  }

 private:
  HWND owner_;
  std::wstring path_;
  UniqueFile file_;
  std::vector<UniqueFile>& kept_;
};

}  // namespace

std::unique_ptr<HeldInstaller> DesktopUpdatePorts::HoldInstaller(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return nullptr;
  return std::make_unique<WinHeldInstaller>(mainWindow_, path, std::move(file), startedInstallers_);
}

std::wstring DesktopUpdatePorts::InstalledVersion() {
  return GetFileVersionText(ModuleFileName(nullptr));
}

bool DesktopUpdatePorts::InstalledByPackage() {
  // The record the package writes and the setup program reads, in the view
  // of our own bitness as theirs is.
  wchar_t folder[MAX_PATH] = {};
  DWORD size = sizeof folder;
  return RegGetValueW(HKEY_LOCAL_MACHINE, names::kPackageRecordKey, names::kPackageRecordValue,
                      RRF_RT_REG_SZ, nullptr, folder, &size) == ERROR_SUCCESS &&
         folder[0] != L'\0';
}

void DesktopUpdatePorts::RecordEvent(MonitorEvent event, const std::vector<std::wstring>& texts) {
  ReportMonitorEvent(event, texts);
}
