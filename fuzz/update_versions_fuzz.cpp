// Version files of any content, as a web server may send them: the whole
// check runs to one of its ends, its version order stays a strict order and
// every log line keeps its shape.
#include <deque>

#include "fuzz_profile.h"
#include "update/update_check.h"

namespace {

const std::wstring kFolder = L"U:\\";

class Ports : public UpdatePorts {
 public:
  std::wstring serverText;
  std::vector<std::wstring> log;

  std::wstring UpdateFolder() override { return kFolder; }
  ProfileFiles& Profiles() override { return files; }
  void RemoveFile(const std::wstring& path) override { files.Remove(path); }
  std::unique_ptr<PendingDownload> StartDownload(const std::wstring&,
                                                 const std::wstring& path) override {
    if (path == kFolder + L"ServerConfig.txt")
      FillProfile(files.File(path), serverText, L"");
    return std::make_unique<Done>();
  }
  void PumpMessagesFor(int) override {}
  void AppendUpdateLog(const std::wstring&, const std::wstring& message) override {
    log.push_back(message);
  }
  bool AskYesNo(const std::wstring&) override { return true; }
  // No installer is ever found: nothing may start whatever the server says.
  std::unique_ptr<HeldInstaller> HoldInstaller(const std::wstring&) override { return nullptr; }
  std::wstring InstalledVersion() override { return L"1.0.0.1"; }
  bool InstalledByPackage() override { return false; }
  void RecordEvent(MonitorEvent, const std::vector<std::wstring>&) override {}

  FakeProfileFiles files;

 private:
  struct Done : PendingDownload {
    std::int32_t ExitCode() override { return 0; }
  };
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text = Utf16Text(data, size);
  const std::size_t split = text.find(L'\x1E');
  Ports ports;
  FillProfile(ports.files.File(kFolder + L"ClientConfig.ini"), text.substr(0, split), L"");
  if (split != std::wstring::npos)
    ports.serverText = text.substr(split + 1);

  ProgramState state;
  TResStrs strings;
  UpdateCheck check(state, ports, strings);
  UpdateVersions versions;
  if (check.ReadUpdateVersions(kFolder + L"ClientConfig.ini", versions) != kVersionsRead)
    __builtin_trap();
  if (IsNewerVersion(versions.Server, versions.Client) &&
      IsNewerVersion(versions.Client, versions.Server))
    __builtin_trap();
  check.CheckForUpdate();  // ends with the (unsigned) installer refused
  for (const auto& message : ports.log) {
    const std::wstring line = UpdateLogLine({2026, 1, 2, 3, 4, 5}, L"d", L"t", message);
    if (line.size() < 4 || line.compare(line.size() - 2, 2, L"\r\n") != 0)
      __builtin_trap();
  }
  return 0;
}
