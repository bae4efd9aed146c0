// Registration benchmark, run by scripts/bench under Wine (not a test).
//   registration_bench pass [ROUNDS]
//       times RegisterTokenCertificates on slot 0's token through the real
//       library and store, beside its floor: the unavoidable work made
//       directly, a plain loop that reads only what it uses and adds each
//       certificate with each store opened once
//   registration_bench arrival VTOKEN_INI FOLDER USER-CERTS
//       with the monitor running and no token in: the real work of an
//       insertion in this process, then the time from the arrival
//       notification to the last certificate of the token in the store
//   registration_bench startup RUNS MONITOR TRAY
//       start-up to the main window and idle memory of the monitor beside a
//       minimal tray program, started in turn
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/app_config.h"
#include "i18n/res_strs.h"
#include "monitor/token_session.h"
#include "base/pkcs11_api.h"
#include "token/token_library_win.h"
#include "token/token_operations.h"
#include "base/files_win.h"
#include "base/shared_names.h"
#include "base/unique_handle_win.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Ports that do nothing: the pass alone is measured.
class QuietPorts : public MonitorPorts {
 public:
  void ShowBalloon(const std::wstring&, int) override {}
  void SetIconVisible(bool) override {}
  void ShowMessage(const std::wstring&, unsigned) override {}
  void ArmTimer(MonitorTimer) override {}
  void DisarmTimer(MonitorTimer) override {}
  void ExitProgram() override {}
  TConfigInfo ReadUserSettings() override { return {}; }
  bool ProviderKeyExists(const std::wstring&) override { return false; }
  void WriteLog(const std::wstring&) override {}
  void SendToManager(const std::wstring&) override {}
  void OpenWebAddress(const std::wstring&, int) override {}
  LocalDateTime Now() override { return {}; }
  std::uint64_t Milliseconds() override { return 0; }
  void CloseDialogsOnRemoval(std::int32_t) override {}
  void RecordEvent(MonitorEvent, const std::vector<std::wstring>&) override {}
  std::wstring TokenText(std::string_view) override { return {}; }
};

// The floor of a pass, logged out as the monitor is: one search for public
// keys and one for X.509 certificates, one call per object for only what it
// uses (a key's id, label and use; a certificate's id and value), each
// certificate decoded once and added to its store, each store opened once and
// written once. Returns the certificates stored; what it added is left in
// added for the caller to take out again.
int FloorPass(CK_FUNCTION_LIST* f,
              CK_SLOT_ID slot,
              const std::wstring& provider,
              std::vector<std::pair<HCERTSTORE, UniqueCertContext>>& added) {
  CK_SESSION_HANDLE s;
  if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK)
    return 0;
  struct Found {
    std::vector<unsigned char> id, label, value;
    bool exchange = false;
  };
  const auto find = [&](CK_ATTRIBUTE* match, CK_ULONG count) {
    std::vector<CK_OBJECT_HANDLE> objects(1024);
    CK_ULONG n = 0;
    f->C_FindObjectsInit(s, match, count);
    f->C_FindObjects(s, objects.data(), static_cast<CK_ULONG>(objects.size()), &n);
    f->C_FindObjectsFinal(s);
    objects.resize(n);
    return objects;
  };
  const auto size = [](const std::vector<unsigned char>& v) {
    return static_cast<CK_ULONG>(v.size());
  };
  std::vector<Found> keys, certs;
  CK_OBJECT_CLASS publicKey = CKO_PUBLIC_KEY, certificate = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_ATTRIBUTE keyMatch[] = {{CKA_CLASS, &publicKey, sizeof publicKey}};
  for (CK_OBJECT_HANDLE h : find(keyMatch, 1)) {
    Found k{std::vector<unsigned char>(64), std::vector<unsigned char>(129), {}};
    CK_BBOOL encrypt = CK_FALSE;
    CK_ATTRIBUTE a[] = {{CKA_ID, k.id.data(), size(k.id)},
                        {CKA_LABEL, k.label.data(), size(k.label)},
                        {CKA_ENCRYPT, &encrypt, 1}};
    f->C_GetAttributeValue(s, h, a, 3);
    k.id.resize(a[0].ulValueLen);
    k.label.resize(a[1].ulValueLen);
    k.exchange = encrypt;
    keys.push_back(std::move(k));
  }
  CK_ATTRIBUTE certMatch[] = {{CKA_CLASS, &certificate, sizeof certificate},
                              {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
  for (CK_OBJECT_HANDLE h : find(certMatch, 2)) {
    Found c{std::vector<unsigned char>(64), {}, std::vector<unsigned char>(8193)};
    CK_ATTRIBUTE a[] = {{CKA_ID, c.id.data(), size(c.id)},
                        {CKA_VALUE, c.value.data(), size(c.value)}};
    f->C_GetAttributeValue(s, h, a, 2);
    c.id.resize(a[0].ulValueLen);
    c.value.resize(a[1].ulValueLen);
    certs.push_back(std::move(c));
  }
  f->C_CloseSession(s);

  UniqueCertStore my(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
  UniqueCertStore root(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT"));
  UniqueCertStore ca(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"CA"));
  int stored = 0;
  for (const Found& c : certs) {
    UniqueCertContext cert(CertCreateCertificateContext(X509_ASN_ENCODING, c.value.data(),
                                                        static_cast<DWORD>(c.value.size())));
    if (!cert)
      continue;
    auto key = std::find_if(keys.begin(), keys.end(), [&](const Found& k) { return k.id == c.id; });
    HCERTSTORE store = my.get();
    if (key != keys.end()) {
      std::wstring container(c.label.begin(), c.label.end());
      CRYPT_KEY_PROV_INFO info{};
      info.pwszContainerName = container.data();
      info.pwszProvName = const_cast<wchar_t*>(provider.c_str());
      info.dwProvType = PROV_RSA_FULL;
      info.dwKeySpec = key->exchange ? AT_KEYEXCHANGE : AT_SIGNATURE;
      CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    } else {
      const bool selfSigned =
          CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                     &cert->pCertInfo->Issuer) != FALSE;
      store = selfSigned ? root.get() : ca.get();
    }
    const CERT_CONTEXT* in = nullptr;
    if (CertAddCertificateContextToStore(store, cert.get(), CERT_STORE_ADD_REPLACE_EXISTING, &in)) {
      added.emplace_back(store, UniqueCertContext(in));
      ++stored;
    }
  }
  for (HCERTSTORE store : {my.get(), root.get(), ca.get()})
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  return stored;  // the stores close here; each added context keeps its own open
}

// The real library and a session over it, with ports that do nothing.
struct BenchSession {
  DllTokenLibrary lib{ExecutableFolder() + L"CorvanexMgr.dll"};
  QuietPorts ports;
  TResStrs strings;
  TConfigInfo config;
  ProgramState state;
  TokenSession session{state, lib, ports, strings, config};

  bool Init() { return InitTokenLibrary(lib, strings.PKCS11Name) == 0; }
  // Slot 0's token found and its information read: the search of an insertion.
  bool Search() {
    std::int32_t count = 0;
    return FindAndConnectTokens(lib, count) == 0 && count >= 1 &&
           ReadTokenInfo(lib, 0, state.TokenTable[0]) == 0;
  }
  bool Start() { return Init() && Search(); }
};

// Each round times a pass with its write-out (uninit_pkcs11 commits what the
// library still holds back), then the floor with its own.
int Pass(int rounds) {
  BenchSession bench;
  auto& [lib, ports, strings, config, state, session] = bench;
  const auto start = [&] {
    if (!bench.Start())
      return false;
    lib.remove_all_certs_from_store(strings.PROVIDER_NAME);
    return true;
  };
  if (!start()) {
    std::printf("the token library did not start, or there is no token in slot 0\n");
    return 1;
  }
  // The floor talks to the same module directly, and keeps it loaded.
  UniqueModule module(LoadLibraryW(strings.PKCS11Name.c_str()));
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(
      reinterpret_cast<void*>(GetProcAddress(module.get(), "C_GetFunctionList")));
  CK_FUNCTION_LIST* functions = nullptr;
  if (!getList || getList(&functions) != CKR_OK) {
    std::printf("the token module is not loaded\n");
    return 1;
  }
  state.ProviderRegistered = false;
  session.RegisterTokenCertificates(0);  // warm-up, and the provider name settles
  lib.uninit_pkcs11();
  double pass = 0, floor = 0;
  int stored = 0;
  for (int r = 0; r < rounds; ++r) {
    start();
    auto t0 = Clock::now();
    session.RegisterTokenCertificates(0);
    lib.uninit_pkcs11();
    pass += Ms(Clock::now() - t0);
    start();  // takes the pass's certificates out
    lib.uninit_pkcs11();

    functions->C_Initialize(nullptr);
    CK_SLOT_ID slot = 0;
    CK_ULONG slots = 1;
    functions->C_GetSlotList(CK_TRUE, &slot, &slots);
    std::vector<std::pair<HCERTSTORE, UniqueCertContext>> added;
    t0 = Clock::now();
    stored = FloorPass(functions, slot, strings.PROVIDER_NAME, added);
    floor += Ms(Clock::now() - t0);
    functions->C_Finalize(nullptr);
    for (auto& [store, cert] : added)  // out again, untimed
      CertDeleteCertificateFromStore(cert.release());
  }
  std::printf("containers: %d, certificates stored per pass: %d\n",
              state.TokenTable[0].ContainerCount, stored);
  std::printf("registration pass: %8.1f ms (mean of %d, with the write-out of the stores)\n",
              pass / rounds, rounds);
  std::printf(
      "floor:             %8.1f ms (logged out: one search for public keys, one for\n"
      "                               X.509 certificates, one call per object for what\n"
      "                               it uses, each certificate added with each store\n"
      "                               opened once and written once)\n",
      floor / rounds);
  std::printf("ratio:             %8.2f\n", pass / floor);
  return 0;
}

int CountStore(const wchar_t* name, const std::wstring& issuerOrSubject) {
  UniqueCertStore store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
  int n = 0;
  const CERT_CONTEXT* c = nullptr;
  while ((c = CertEnumCertificatesInStore(store.get(), c))) {
    wchar_t text[256] = {};
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, text, 256);
    wchar_t subject[256] = {};
    CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, 256);
    n += issuerOrSubject == text || issuerOrSubject == subject;
  }
  return n;
}

void WriteSlots(const std::wstring& config, const std::wstring& slot0) {
  if (FILE* file = _wfopen(config.c_str(), L"wb")) {
    std::fprintf(file, "[slots]\r\ncount=2\r\nslot0=%ls\r\nslot1=\r\n", slot0.c_str());
    std::fclose(file);
  }
}

// The real work of an insertion, in this process with the token in slot 0
// and no monitor told: the search (token found, its information read; the
// library already started, as in the monitor), the pass, and the write-out
// of the stores. Median of
// five, each taken out again untimed.
struct Work {
  double search = 0, pass = 0, writeOut = 0;
  double total() const { return search + pass + writeOut; }
};
Work InsertionWork(const std::wstring& config, const std::wstring& token) {
  WriteSlots(config, token);
  std::vector<Work> runs;
  for (int r = 0; r < 5; ++r) {
    BenchSession bench;
    Work w;
    if (!bench.Init())  // done once at the monitor's start, not per insertion
      break;
    auto t0 = Clock::now();
    if (!bench.Search())
      break;
    w.search = Ms(Clock::now() - t0);
    t0 = Clock::now();
    bench.session.RegisterTokenCertificates(0);
    w.pass = Ms(Clock::now() - t0);
    t0 = Clock::now();
    bench.lib.uninit_pkcs11();
    w.writeOut = Ms(Clock::now() - t0);
    runs.push_back(w);
    if (bench.Start())
      bench.lib.remove_all_certs_from_store(bench.session.ProviderName());
    bench.lib.uninit_pkcs11();
  }
  WriteSlots(config, L"");
  std::sort(runs.begin(), runs.end(),
            [](const Work& a, const Work& b) { return a.total() < b.total(); });
  return runs.empty() ? Work{} : runs[runs.size() / 2];
}

// With the monitor running and no token in: the real work first, then the
// time from the driver's arrival notification to the token's last
// certificate in the store.
int Arrival(const std::wstring& driver,
            const std::wstring& config,
            const std::wstring& token,
            int expectedUserCerts) {
  const Work work = InsertionWork(config, token);
  if (work.total() <= 0) {
    std::printf("the token library did not start, or there is no token in slot 0\n");
    return 1;
  }
  // The driver tells when it sent the notification, on the performance
  // counter all processes share: its own start is not counted.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 16))
    return 1;
  UniqueKernelHandle reader(readEnd), writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring cmd =
      L"\"" + driver + L"\" plug --config \"" + config + L"\" --slot 0 --token \"" + token + L"\"";
  STARTUPINFOW si{sizeof si};
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi))
    return 1;
  writer.reset();
  CloseHandle(pi.hThread);
  const auto t0 = Clock::now();
  // The last thing a pass stores is the token's standalone CA certificate.
  while (CountStore(L"MY", L"Demo Issuing CA") < expectedUserCerts ||
         CountStore(L"CA", L"Demo Issuing CA") < 1) {
    if (Clock::now() - t0 > std::chrono::seconds(30)) {
      std::printf("timed out\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  LARGE_INTEGER stored{}, frequency{};
  QueryPerformanceCounter(&stored);
  QueryPerformanceFrequency(&frequency);
  WaitForSingleObject(pi.hProcess, 30000);
  CloseHandle(pi.hProcess);
  std::string output(4096, '\0');
  DWORD n = 0;
  ReadFile(reader.get(), output.data(), static_cast<DWORD>(output.size()), &n, nullptr);
  output.resize(n);
  constexpr char kCounter[] = "performance counter ";
  const auto at = output.find(kCounter);
  if (at == std::string::npos) {
    std::printf("the driver did not tell when it sent the notification\n");
    return 1;
  }
  const long long sent = std::atoll(output.c_str() + at + std::strlen(kCounter));
  const double ms = 1000.0 * static_cast<double>(stored.QuadPart - sent) /
                    static_cast<double>(frequency.QuadPart);
  constexpr double kSettling = 3100;  // the device's waits and the search's first tick
  std::printf(
      "arrival to last certificate: %8.1f ms (from the notification, the monitor's first)\n", ms);
  std::printf(
      "real work:                   %8.1f ms (search %.1f, pass %.1f, write-out %.1f; the same\n"
      "                                        token in this process, median of 5)\n",
      work.total(), work.search, work.pass, work.writeOut);
  std::printf("ratio:                       %8.2f (against the real work)\n", ms / work.total());
  std::printf("settling time allowed:       %8.1f ms (the device's waits and the first search)\n",
              kSettling);
  std::printf("ratio:                       %8.2f (against the settling time)\n", ms / kSettling);
  return 0;
}

// The memory of the Unix process that runs program, from its /proc status
// (Windows gives nothing for another process under Wine): {VmRSS, RssAnon}
// in kB, or {-1, -1}.
std::pair<long long, long long> ProcessMemoryKb(const std::wstring& program) {
  int length = WideCharToMultiByte(CP_ACP, 0, program.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string name(static_cast<std::size_t>(std::max(length, 1)) - 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, program.c_str(), -1, name.data(), length, nullptr, nullptr);
  const auto read = [](const std::wstring& path) {
    std::string text;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
      std::fclose(file);
    }
    return text;
  };
  const auto field = [](const std::string& status, const char* key) {
    const auto at = status.find(key);
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(key));
  };
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &found);
  std::pair<long long, long long> kb{-1, -1};
  for (BOOL more = find != INVALID_HANDLE_VALUE; more && kb.first < 0;
       more = FindNextFileW(find, &found)) {
    const std::wstring proc = std::wstring(L"Z:\\proc\\") + found.cFileName;
    // Wine shows the Windows command line: the program's path comes first.
    std::string command = read(proc + L"\\cmdline");
    if (!command.empty() && command[0] == '"')
      command.erase(0, 1);
    if (command.compare(0, name.size(), name) != 0)
      continue;
    const std::string status = read(proc + L"\\status");
    kb = {field(status, "VmRSS:"), field(status, "RssAnon:")};
  }
  if (find != INVALID_HANDLE_VALUE)
    FindClose(find);
  return kb;
}

struct StartUp {
  double ms = -1;  // to the main window
  // Idle: 3 s after the window, and 10 s after it, once the update check
  // (6 s after the start) has run.
  std::pair<long long, long long> kb, laterKb;
};

// Starts program, times it to its first top-level window of windowClass,
// reads its memory once it has idled, and ends it as a logoff would.
StartUp StartOnce(const std::wstring& program, const wchar_t* windowClass, bool measureMemory) {
  StartUp result;
  std::wstring command = L"\"" + program + L"\"";
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  const auto t0 = Clock::now();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return result;
  CloseHandle(pi.hThread);
  HWND window = nullptr;
  while (!window && Clock::now() - t0 < std::chrono::seconds(30)) {
    for (HWND w = FindWindowW(windowClass, nullptr); w && !window;
         w = FindWindowExW(nullptr, w, windowClass, nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(w, &owner);
      if (owner == pi.dwProcessId)
        window = w;
    }
    if (!window)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (window) {
    result.ms = Ms(Clock::now() - t0);
    if (measureMemory) {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      result.kb = ProcessMemoryKb(program);
      std::this_thread::sleep_for(std::chrono::seconds(7));
      result.laterKb = ProcessMemoryKb(program);
    }
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer);
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, &answer);
  }
  if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
    TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  return result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

int Startup(int runs, const std::wstring& monitor, const std::wstring& tray) {
  std::vector<double> monitorMs, trayMs;
  StartUp monitorIdle, trayIdle;
  StartOnce(monitor, names::kMainWindowClass, false);  // warm-up: files in the cache
  StartOnce(tray, L"MinimalTrayProgram", false);
  for (int r = 0; r < runs; ++r) {
    const bool last = r == runs - 1;
    const StartUp m = StartOnce(monitor, names::kMainWindowClass, last);
    const StartUp t = StartOnce(tray, L"MinimalTrayProgram", last);
    if (m.ms < 0 || t.ms < 0) {
      std::printf("a program did not show its window\n");
      return 1;
    }
    monitorMs.push_back(m.ms);
    trayMs.push_back(t.ms);
    if (last) {
      monitorIdle = m;
      trayIdle = t;
    }
  }
  const double monitorMedian = Median(monitorMs), trayMedian = Median(trayMs);
  std::printf("start-up to the main window (median of %d, no token):\n", runs);
  std::printf("  monitor:              %8.1f ms\n", monitorMedian);
  std::printf("  minimal tray program: %8.1f ms\n", trayMedian);
  std::printf("  ratio:                %8.2f\n", monitorMedian / trayMedian);
  const auto idleLine = [](const char* when, std::pair<long long, long long> monitor,
                           std::pair<long long, long long> tray) {
    std::printf("idle memory %s, no token (VmRSS / RssAnon):\n", when);
    std::printf("  monitor:              %8lld kB / %8lld kB\n", monitor.first, monitor.second);
    std::printf("  minimal tray program: %8lld kB / %8lld kB\n", tray.first, tray.second);
    std::printf("  ratio:                %8.2f / %8.2f\n",
                static_cast<double>(monitor.first) / static_cast<double>(tray.first),
                static_cast<double>(monitor.second) / static_cast<double>(tray.second));
  };
  idleLine("3 s after the window", monitorIdle.kb, trayIdle.kb);
  idleLine("10 s after the window (the update check has run)", monitorIdle.laterKb,
           trayIdle.laterKb);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.size() >= 1 && args[0] == L"pass")
    return Pass(args.size() > 1 ? _wtoi(args[1].c_str()) : 5);
  if (args.size() >= 4 && args[0] == L"startup")
    return Startup(_wtoi(args[1].c_str()), args[2], args[3]);
  if (args.size() >= 4 && args[0] == L"arrival")
    return Arrival(ExecutableFolder() + L"tokendriver.exe", args[1], args[2],
                   _wtoi(args[3].c_str()));
  std::printf(
      "usage: registration_bench pass [ROUNDS] | arrival CONFIG TOKEN-FOLDER "
      "USER-CERTS | startup RUNS MONITOR TRAY\n");
  return 2;
}
