// tokendriver: drives the monitor from outside, as Windows, the manager
// application and a user would. Run with --help for the commands.
#include <windows.h>
#include <dbt.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/shared_names.h"
#include "base/device_interface_win.h"
#include "base/files_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: tokendriver COMMAND [OPTIONS]\n"
    L"\n"
    L"Windows:\n"
    L"  wait-window --class NAME [--timeout SECONDS]\n"
    L"      wait until a top-level window of that class exists; print its handle and process id\n"
    L"  count-windows --class NAME\n"
    L"      print how many top-level windows of that class exist\n"
    L"  window-text --class NAME [--timeout SECONDS]\n"
    L"      print the caption of the first window of that class; with a timeout, wait until\n"
    L"      it has one\n"
    L"  end-session --class NAME [--timeout SECONDS]\n"
    L"      send WM_QUERYENDSESSION then WM_CLOSE, as at logoff, and wait until the window is "
    L"gone\n"
    L"  show-window --class NAME\n"
    L"      show the window (the monitor's About view) and bring it to the front\n"
    L"  control-text --class NAME --id N\n"
    L"      print the text of the window's child control N\n"
    L"  answer-boxes --caption TEXT [--quiet SECONDS]\n"
    L"      print the text of each message box with that caption and answer it with OK, until\n"
    L"      none has come for SECONDS (3)\n"
    L"  click --class NAME --id N\n"
    L"      press the window's button N\n"
    L"  set-text --class NAME --id N --text TEXT\n"
    L"      put TEXT into the window's child control N, as if typed\n"
    L"  tray dblclick|rbutton|click\n"
    L"      the shell's mouse notification for the monitor's tray icon\n"
    L"  menu-items [--timeout SECONDS]\n"
    L"      wait for an open popup menu and print its items, one a line\n"
    L"  menu-choose --index N\n"
    L"      choose item N (from 0) of the open popup menu with the keyboard\n"
    L"\n"
    L"Virtual tokens (CONFIG is the virtual token module's vtoken.ini):\n"
    L"  plug --config CONFIG --slot N --token FOLDER [--vid XXXX] [--pid XXXX] [--class NAME]\n"
    L"      put a token folder into a slot, then send the device-arrival notification\n"
    L"  unplug --config CONFIG --slot N [--vid XXXX] [--pid XXXX] [--class NAME]\n"
    L"      empty the slot, then send the device-removal notification\n"
    L"  notify --arrival|--removal [--vid XXXX] [--pid XXXX] [--reader] [--class NAME]\n"
    L"         [--size N] [--no-terminator]\n"
    L"      only the notification (WM_DEVICECHANGE with a USB device-interface path);\n"
    L"      the window class defaults to the monitor's, the product id to FF04;\n"
    L"      --size states another dbch_size, --no-terminator drops the path's NUL\n"
    L"  listen-devices --class NAME [--timeout SECONDS]\n"
    L"      a window registered for USB device notifications; prints each one it gets\n"
    L"\n"
    L"Manager stand-in:\n"
    L"  manager [--timeout SECONDS] [--exit-on-close]\n"
    L"      a window of class TQZCorvanexE_Mgr printing every WM_COPYDATA as: dwData=N text=TEXT\n"
    L"  send [--data N] --text TEXT [--pad N] [--wait-ms N] [--class NAME]\n"
    L"       [--anonymous | --sender-class NAME]\n"
    L"      WM_COPYDATA to the monitor (dwData 1: a status text; other values: a command)\n"
    L"      from a window of the manager's class (or NAME), or from no window at all\n"
    L"\n"
    L"Signing:\n"
    L"  sign --provider NAME --container NAME [--keyspec 1|2] [--silent] [--pin PIN] [--verify]\n"
    L"      sign a SHA-256 hash with the container's key through the provider, as any\n"
    L"      program would (the provider may ask for the PIN); print the signature's length\n"
    L"      or the error; --pin passes the PIN as a program may (no prompt); --verify checks\n"
    L"      the signature with the certificate in MY linked to that container\n"
    L"\n"
    L"Certificate stores:\n"
    L"  dump-stores\n"
    L"      the current user's MY, ROOT and CA certificates; for MY also container, provider\n"
    L"      and key spec\n";

using Args = std::vector<std::wstring>;

std::wstring Option(const Args& args, const wchar_t* name, const std::wstring& fallback = L"") {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == name)
      return args[i + 1];
  return fallback;
}

bool HasFlag(const Args& args, const wchar_t* name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

bool WaitFor(const std::function<bool()>& cond, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<HWND> WindowsOfClass(const std::wstring& cls) {
  std::vector<HWND> found;
  for (HWND h = FindWindowExW(nullptr, nullptr, cls.c_str(), nullptr); h;
       h = FindWindowExW(nullptr, h, cls.c_str(), nullptr))
    found.push_back(h);
  return found;
}

int RequireClass(const Args& args, std::wstring* cls) {
  *cls = Option(args, L"--class");
  if (cls->empty()) {
    fwprintf(stderr, L"--class is required\n");
    return 2;
  }
  return 0;
}

int WaitWindow(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls))
    return rc;
  const double timeout = _wtof(Option(args, L"--timeout", L"20").c_str());
  HWND hwnd = nullptr;
  if (!WaitFor([&] { return (hwnd = FindWindowW(cls.c_str(), nullptr)) != nullptr; }, timeout)) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wprintf(L"window %ls: handle 0x%llx, process %lu\n", cls.c_str(),
          static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)), pid);
  return 0;
}

int CountWindows(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls))
    return rc;
  wprintf(L"%zu\n", WindowsOfClass(cls).size());
  return 0;
}

int WindowText(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls))
    return rc;
  // With --timeout, waits until the window exists and has a caption.
  const double seconds = _wtof(Option(args, L"--timeout", L"0").c_str());
  wchar_t text[1024] = {};
  bool found = false;
  WaitFor(
      [&] {
        HWND hwnd = FindWindowW(cls.c_str(), nullptr);
        found = hwnd != nullptr;
        return found && GetWindowTextW(hwnd, text, 1024) > 0;
      },
      seconds);
  if (!found)
    return 1;
  wprintf(L"%ls\n", text);
  return 0;
}

int EndSession(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls))
    return rc;
  HWND hwnd = FindWindowW(cls.c_str(), nullptr);
  if (!hwnd) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(hwnd, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &answer);
  wprintf(L"WM_QUERYENDSESSION answered %llu\n", static_cast<unsigned long long>(answer));
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  const double timeout = _wtof(Option(args, L"--timeout", L"20").c_str());
  if (!WaitFor([&] { return !IsWindow(hwnd); }, timeout)) {
    wprintf(L"the window is still there\n");
    return 1;
  }
  wprintf(L"the window is gone\n");
  return 0;
}

HWND RequireWindow(const Args& args) {
  const std::wstring cls = Option(args, L"--class");
  HWND hwnd = cls.empty() ? nullptr : FindWindowW(cls.c_str(), nullptr);
  if (!hwnd)
    wprintf(L"no window of class %ls\n", cls.c_str());
  return hwnd;
}

int ShowWindowCommand(const Args& args) {
  HWND hwnd = RequireWindow(args);
  if (!hwnd)
    return 1;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  SetForegroundWindow(hwnd);
  return 0;
}

int ControlText(const Args& args) {
  HWND hwnd = RequireWindow(args);
  if (!hwnd)
    return 1;
  wchar_t text[1024] = {};
  GetDlgItemTextW(hwnd, _wtoi(Option(args, L"--id").c_str()), text, 1024);
  wprintf(L"%ls\n", text);
  return 0;
}

// Message boxes (dialog class "#32770") with this caption: each one's text is
// printed and the box answered with OK, until none has come for --quiet seconds.
int AnswerBoxes(const Args& args) {
  const std::wstring caption = Option(args, L"--caption");
  const double quiet = _wtof(Option(args, L"--quiet", L"3").c_str());
  for (;;) {
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = FindWindowW(L"#32770", caption.c_str())) != nullptr; }, quiet))
      return 0;
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);  // a message box's text control
    wprintf(L"box: %ls\n", text);
    fflush(stdout);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return !IsWindow(box); }, 5);
  }
}

int Click(const Args& args) {
  HWND hwnd = RequireWindow(args);
  HWND button = hwnd ? GetDlgItem(hwnd, _wtoi(Option(args, L"--id").c_str())) : nullptr;
  if (!button)
    return 1;
  PostMessageW(button, BM_CLICK, 0, 0);
  return 0;
}

int SetText(const Args& args) {
  HWND hwnd = RequireWindow(args);
  HWND control = hwnd ? GetDlgItem(hwnd, _wtoi(Option(args, L"--id").c_str())) : nullptr;
  if (!control)
    return 1;
  SetWindowTextW(control, Option(args, L"--text").c_str());
  return 0;
}

// The certificate of the user's "MY" linked to that key of provider's
// container, as a program that signs would pick it.
UniqueCertContext LinkedCertificate(const std::wstring& provider,
                                    const std::wstring& container,
                                    DWORD keySpec) {
  UniqueCertStore my(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                   L"MY"));
  const CERT_CONTEXT* c = nullptr;
  while (my && (c = CertEnumCertificatesInStore(my.get(), c))) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
      continue;
    std::vector<BYTE> buffer(size);
    CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (info->pwszProvName && info->pwszContainerName && provider == info->pwszProvName &&
        container == info->pwszContainerName && info->dwKeySpec == keySpec)
      return UniqueCertContext(CertDuplicateCertificateContext(c));
  }
  return UniqueCertContext();
}

// Checks signature over text with the certificate's public key, through
// Microsoft's own provider: what a relying party would do.
bool VerifiedBy(const CERT_CONTEXT* certificate,
                const BYTE* text,
                DWORD textLength,
                const BYTE* signature,
                DWORD length) {
  HCRYPTPROV verifier = 0;
  HCRYPTKEY key = 0;
  HCRYPTHASH hash = 0;
  const bool verified =
      CryptAcquireContextW(&verifier, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptImportPublicKeyInfo(verifier, X509_ASN_ENCODING,
                               &certificate->pCertInfo->SubjectPublicKeyInfo, &key) &&
      CryptCreateHash(verifier, CALG_SHA_256, 0, 0, &hash) &&
      CryptHashData(hash, text, textLength, 0) &&
      CryptVerifySignatureW(hash, signature, length, key, nullptr, 0);
  if (hash)
    CryptDestroyHash(hash);
  if (key)
    CryptDestroyKey(key);
  if (verifier)
    CryptReleaseContext(verifier, 0);
  return verified;
}

int Sign(const Args& args) {
  const std::wstring provider = Option(args, L"--provider");
  const std::wstring container = Option(args, L"--container");
  const DWORD keySpec = static_cast<DWORD>(_wtoi(Option(args, L"--keyspec", L"2").c_str()));
  HCRYPTPROV context = 0;
  HCRYPTHASH hash = 0;
  static const BYTE kText[] = "signed by the token driver";
  BYTE signature[1024];
  DWORD length = sizeof signature;
  const std::string pin = ToAnsi(Option(args, L"--pin"));
  const bool signedIt =
      CryptAcquireContextW(&context, container.c_str(), provider.c_str(), PROV_RSA_FULL,
                           HasFlag(args, L"--silent") ? CRYPT_SILENT : 0) &&
      (pin.empty() ||
       CryptSetProvParam(context, keySpec == AT_KEYEXCHANGE ? PP_KEYEXCHANGE_PIN : PP_SIGNATURE_PIN,
                         reinterpret_cast<const BYTE*>(pin.c_str()), 0)) &&
      CryptCreateHash(context, CALG_SHA_256, 0, 0, &hash) &&
      CryptHashData(hash, kText, sizeof kText - 1, 0) &&
      CryptSignHashW(hash, keySpec, nullptr, 0, signature, &length);
  const DWORD error = GetLastError();
  if (hash)
    CryptDestroyHash(hash);
  if (context)
    CryptReleaseContext(context, 0);
  if (!signedIt) {
    wprintf(L"not signed: error 0x%08lX\n", error);
    return 1;
  }
  wprintf(L"signed: %lu bytes\n", length);
  if (!HasFlag(args, L"--verify"))
    return 0;
  const UniqueCertContext certificate = LinkedCertificate(provider, container, keySpec);
  if (!certificate) {
    wprintf(L"not verified: no certificate in MY is linked to that container\n");
    return 1;
  }
  if (!VerifiedBy(certificate.get(), kText, sizeof kText - 1, signature, length)) {
    wprintf(L"not verified: error 0x%08lX\n", GetLastError());
    return 1;
  }
  wprintf(L"verified with the public key of the certificate linked to it\n");
  return 0;
}

int Tray(const Args& args) {
  HWND handler = FindWindowW(names::kTrayHandlerWindowClass, nullptr);
  if (!handler || args.size() < 2)
    return 1;
  const std::wstring what = args[1];
  const auto post = [&](UINT mouse) {
    PostMessageW(handler, names::kTrayCallbackMessage, names::kTrayIconId, mouse);
  };
  if (what == L"dblclick") {
    post(WM_LBUTTONDOWN), post(WM_LBUTTONUP), post(WM_LBUTTONDBLCLK), post(WM_LBUTTONUP);
  } else if (what == L"rbutton") {
    post(WM_RBUTTONDOWN);
  } else if (what == L"click") {
    post(WM_LBUTTONDOWN), post(WM_LBUTTONUP);
  } else {
    return 2;
  }
  return 0;
}

HWND WaitForMenu(double seconds) {
  HWND menu = nullptr;
  WaitFor([&] { return (menu = FindWindowW(L"#32768", nullptr)) && IsWindowVisible(menu); },
          seconds);
  return menu;
}

int MenuItems(const Args& args) {
  HWND window = WaitForMenu(_wtof(Option(args, L"--timeout", L"10").c_str()));
  HMENU menu = window ? reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0)) : nullptr;
  if (!menu) {
    wprintf(L"no popup menu\n");
    return 1;
  }
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[256] = {};
    GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
    const bool isDefault = GetMenuDefaultItem(menu, TRUE, 0) == static_cast<UINT>(i);
    wprintf(L"%ls%ls\n", text, isDefault ? L" (default)" : L"");
  }
  return 0;
}

int MenuChoose(const Args& args) {
  HWND window = WaitForMenu(10);
  if (!window)
    return 1;
  const int index = _wtoi(Option(args, L"--index", L"0").c_str());
  for (int i = 0; i <= index; ++i)
    PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
  return 0;
}

// --- device notifications -------------------------------------------------

std::wstring DevicePath(const Args& args) {
  if (HasFlag(args, L"--reader"))  // a smart-card reader's interface, as Windows names one
    return std::wstring(L"\\\\?\\USB#VID_076B&PID_3021#0#") + names::kSmartCardReaderInterfaceGuid;
  const std::wstring vid = Option(args, L"--vid", L"1D99");
  const std::wstring pid = Option(args, L"--pid", L"FF04");
  return L"\\\\?\\USB#VID_" + vid + L"&PID_" + pid + L"#5&1A2B3C4D&0&1#" +
         names::kUsbDeviceInterfaceGuid;
}

int Notify(const Args& args, bool arrival) {
  const std::wstring cls = Option(args, L"--class", names::kDeviceWindowClass);
  HWND target = FindWindowW(cls.c_str(), nullptr);
  if (!target) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  const std::wstring path = DevicePath(args);
  // Malformed ones, as a broken driver or another program might send: the
  // buffer always holds the whole structure, the size field says otherwise.
  const bool terminated = !HasFlag(args, L"--no-terminator");
  const std::size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                           (path.size() + (terminated ? 1 : 0)) * sizeof(wchar_t);
  std::vector<BYTE> buffer(size + sizeof(DEV_BROADCAST_DEVICEINTERFACE_W), 0);
  auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.data());
  const std::wstring stated = Option(args, L"--size");
  b->dbcc_size =
      stated.empty() ? static_cast<DWORD>(size) : static_cast<DWORD>(_wtoi(stated.c_str()));
  b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  b->dbcc_classguid =
      HasFlag(args, L"--reader") ? SmartCardReaderInterfaceGuid() : UsbDeviceInterfaceGuid();
  std::memcpy(b->dbcc_name, path.c_str(), path.size() * sizeof(wchar_t));
  DWORD_PTR result = 0;
  // The moment of sending, on the counter every process shares, for timings
  // that start at the notification rather than at this program's start.
  LARGE_INTEGER sent{};
  QueryPerformanceCounter(&sent);
  SendMessageTimeoutW(target, WM_DEVICECHANGE,
                      arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                      reinterpret_cast<LPARAM>(b), SMTO_NORMAL, 30000, &result);
  wprintf(L"%ls sent: %ls (performance counter %lld when sent)\n",
          arrival ? L"arrival" : L"removal", path.c_str(), static_cast<long long>(sent.QuadPart));
  return 0;
}

bool SetSlot(const Args& args, const std::wstring& folder) {
  const std::wstring config = Option(args, L"--config");
  const std::wstring slot = Option(args, L"--slot", L"0");
  if (config.empty()) {
    fwprintf(stderr, L"--config is required\n");
    return false;
  }
  std::wstring value = folder;
  if (!value.empty()) {
    wchar_t full[MAX_PATH * 4] = {};
    GetFullPathNameW(value.c_str(), MAX_PATH * 4, full, nullptr);
    value = full;
  }
  // The module reads its configuration as UTF-8.
  if (!WritePrivateProfileStringW(L"slots", (L"slot" + slot).c_str(), value.c_str(),
                                  config.c_str()))
    return false;
  // Each insertion is counted: the module ends sessions opened before it.
  if (!value.empty()) {
    const std::wstring key = L"inserted" + slot;
    const int inserted = GetPrivateProfileIntW(L"slots", key.c_str(), 0, config.c_str());
    WritePrivateProfileStringW(L"slots", key.c_str(), std::to_wstring(inserted + 1).c_str(),
                               config.c_str());
  }
  const int count = GetPrivateProfileIntW(L"slots", L"count", 0, config.c_str());
  if (_wtoi(slot.c_str()) >= count)
    WritePrivateProfileStringW(L"slots", L"count", std::to_wstring(_wtoi(slot.c_str()) + 1).c_str(),
                               config.c_str());
  return true;
}

int Plug(const Args& args) {
  const std::wstring token = Option(args, L"--token");
  if (token.empty() || !FileExists(token + L"\\token.ini")) {
    fwprintf(stderr, L"--token must name a token folder (with token.ini)\n");
    return 2;
  }
  if (!SetSlot(args, token))
    return 1;
  wprintf(L"plugged %ls into slot %ls\n", token.c_str(), Option(args, L"--slot", L"0").c_str());
  return Notify(args, true);
}

int Unplug(const Args& args) {
  if (!SetSlot(args, L""))
    return 1;
  wprintf(L"slot %ls emptied\n", Option(args, L"--slot", L"0").c_str());
  return Notify(args, false);
}

LRESULT CALLBACK ListenProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DEVICECHANGE && lp && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE)) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
      wprintf(L"%ls %ls\n", wp == DBT_DEVICEARRIVAL ? L"arrival" : L"removal", b->dbcc_name);
      fflush(stdout);
    }
    return TRUE;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND MakeWindow(const std::wstring& cls, WNDPROC proc) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = cls.c_str();
  RegisterClassW(&wc);
  return CreateWindowExW(0, cls.c_str(), L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                         nullptr);
}

void PumpFor(double seconds, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  MSG msg;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
}

int ListenDevices(const Args& args) {
  std::wstring cls;
  if (int rc = RequireClass(args, &cls))
    return rc;
  HWND hwnd = MakeWindow(cls, ListenProc);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = UsbDeviceInterfaceGuid();
  const bool registered =
      RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
  wprintf(L"listening (registered: %ls)\n", registered ? L"yes" : L"no");
  fflush(stdout);
  PumpFor(_wtof(Option(args, L"--timeout", L"30").c_str()), [] { return false; });
  return 0;
}

// --- manager stand-in --------------------------------------------------------

bool g_closeReceived = false;

LRESULT CALLBACK ManagerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COPYDATA && lp) {
    const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
    std::wstring text;
    if (cds->lpData) {
      const auto* p = static_cast<const wchar_t*>(cds->lpData);
      for (DWORD i = 0; i < cds->cbData / sizeof(wchar_t) && p[i]; ++i)
        text += p[i];
    }
    wprintf(L"dwData=%llu text=%ls\n", static_cast<unsigned long long>(cds->dwData), text.c_str());
    fflush(stdout);
    if (text == names::kCommandClose)
      g_closeReceived = true;
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int Manager(const Args& args) {
  MakeWindow(names::kManagerWindowClass, ManagerProc);
  wprintf(L"manager window ready\n");
  fflush(stdout);
  const bool exitOnClose = HasFlag(args, L"--exit-on-close");
  PumpFor(_wtof(Option(args, L"--timeout", L"60").c_str()),
          [&] { return exitOnClose && g_closeReceived; });
  return 0;
}

int Send(const Args& args) {
  const std::wstring cls = Option(args, L"--class", names::kMainWindowClass);
  std::wstring text = Option(args, L"--text");
  // --pad N: the text followed by spaces to N characters, as a program
  // sending an oversized message would.
  text.resize(std::max<std::size_t>(text.size(), _wtoi(Option(args, L"--pad", L"0").c_str())),
              L' ');
  HWND target = FindWindowW(cls.c_str(), nullptr);
  if (!target) {
    wprintf(L"no window of class %ls\n", cls.c_str());
    return 1;
  }
  COPYDATASTRUCT cds{};
  cds.dwData = static_cast<ULONG_PTR>(_wtoi64(Option(args, L"--data", L"0").c_str()));
  cds.cbData = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  cds.lpData = const_cast<wchar_t*>(text.c_str());
  // As the manager sends: its window's handle goes with the message. Gone
  // again at once, so the monitor's own messages find the real manager.
  HWND sender =
      HasFlag(args, L"--anonymous")
          ? nullptr
          : MakeWindow(Option(args, L"--sender-class", names::kManagerWindowClass), DefWindowProcW);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(
      target, WM_COPYDATA, reinterpret_cast<WPARAM>(sender), reinterpret_cast<LPARAM>(&cds),
      SMTO_NORMAL, static_cast<UINT>(_wtoi(Option(args, L"--wait-ms", L"30000").c_str())), &result);
  if (sender)
    DestroyWindow(sender);
  wprintf(L"sent dwData=%llu text=%ls (%zu characters)\n",
          static_cast<unsigned long long>(cds.dwData), text.substr(0, 80).c_str(), text.size());
  return 0;
}

// --- certificate stores ------------------------------------------------------

std::wstring DateText(const FILETIME& ft) {
  SYSTEMTIME st{};
  FileTimeToSystemTime(&ft, &st);
  wchar_t text[16];
  swprintf(text, 16, L"%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
  return text;
}

int DumpStores(const Args&) {
  for (const wchar_t* name : {L"MY", L"ROOT", L"CA"}) {
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                        CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                        name));
    wprintf(L"[%ls]\n", name);
    if (!store)
      continue;
    const CERT_CONTEXT* c = nullptr;
    while ((c = CertEnumCertificatesInStore(store.get(), c))) {
      wchar_t subject[256] = {}, issuer[256] = {};
      CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
      CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, issuer,
                         256);
      wprintf(L"  subject=\"%ls\" issuer=\"%ls\" ends=%ls", subject, issuer,
              DateText(c->pCertInfo->NotAfter).c_str());
      DWORD size = 0;
      if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        std::vector<BYTE> buffer(size);
        CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
        const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
        wprintf(L" container=\"%ls\" provider=\"%ls\" keyspec=%lu",
                info->pwszContainerName ? info->pwszContainerName : L"",
                info->pwszProvName ? info->pwszProvName : L"", info->dwKeySpec);
      }
      wprintf(L"\n");
    }
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Args args(argv + 1, argv + argc);
  const std::wstring command = args.empty() ? L"--help" : args[0];
  if (command == L"wait-window")
    return WaitWindow(args);
  if (command == L"count-windows")
    return CountWindows(args);
  if (command == L"window-text")
    return WindowText(args);
  if (command == L"end-session")
    return EndSession(args);
  if (command == L"show-window")
    return ShowWindowCommand(args);
  if (command == L"control-text")
    return ControlText(args);
  if (command == L"answer-boxes")
    return AnswerBoxes(args);
  if (command == L"click")
    return Click(args);
  if (command == L"set-text")
    return SetText(args);
  if (command == L"sign")
    return Sign(args);
  if (command == L"tray")
    return Tray(args);
  if (command == L"menu-items")
    return MenuItems(args);
  if (command == L"menu-choose")
    return MenuChoose(args);
  if (command == L"plug")
    return Plug(args);
  if (command == L"unplug")
    return Unplug(args);
  if (command == L"notify")
    return Notify(args, !HasFlag(args, L"--removal"));
  if (command == L"listen-devices")
    return ListenDevices(args);
  if (command == L"manager")
    return Manager(args);
  if (command == L"send")
    return Send(args);
  if (command == L"dump-stores")
    return DumpStores(args);
  fwprintf(command == L"--help" || command == L"-h" ? stdout : stderr, L"%ls", kUsage);
  return command == L"--help" || command == L"-h" ? 0 : 2;
}
