// The driver tool from another process, as the end-to-end scenarios use it.
#include <windows.h>

#include <gtest/gtest.h>

#include "test_paths.h"
#include "base/corvanex_mgr_abi.h"
#include "tests/support/test_files_win.h"
#include "tests/support/test_stores_win.h"

TEST(Driver, DeviceNotificationReachesARegisteredWindowWithItsPath) {
  TempFolder dir;
  UniqueKernelHandle listener = StartProcess(
      L"\"" DRIVER_EXE_PATH L"\" listen-devices --class DriverTestDevices --timeout 20",
      dir.path() + L"listen.txt");
  ASSERT_TRUE(WaitForFileText(dir.path() + L"listen.txt", "listening (registered: yes)"));
  ASSERT_EQ(
      RunDriver(L"notify --class DriverTestDevices --vid 0A0B --pid 8b15", dir.path() + L"n.txt"),
      0);
  EXPECT_TRUE(WaitForFileText(dir.path() + L"listen.txt",
                              "arrival \\\\?\\USB#VID_0A0B&PID_8b15#5&1A2B3C4D&0&1#"
                              "{A5DCBF10-6530-11D2-901F-00C04FB951ED}"))
      << ReadBytes(dir.path() + L"listen.txt");
  ASSERT_EQ(RunDriver(L"notify --removal --class DriverTestDevices", dir.path() + L"n.txt"), 0);
  EXPECT_TRUE(WaitForFileText(dir.path() + L"listen.txt", "removal \\\\?\\USB#VID_1D99&PID_FF04#"));
  TerminateProcess(listener.get(), 0);
}

TEST(Driver, ManagerStandInPrintsWhatAnotherProcessSends) {
  TempFolder dir;
  UniqueKernelHandle manager = StartProcess(
      L"\"" DRIVER_EXE_PATH L"\" manager --timeout 20 --exit-on-close", dir.path() + L"mgr.txt");
  ASSERT_TRUE(WaitForFileText(dir.path() + L"mgr.txt", "manager window ready"));
  EXPECT_EQ(RunDriver(L"send --class TQZCorvanexE_Mgr --text LoadCert", dir.path() + L"s.txt"), 0);
  EXPECT_EQ(RunDriver(L"send --class TQZCorvanexE_Mgr --data 1 --text \"two words\"",
                      dir.path() + L"s.txt"),
            0);
  EXPECT_EQ(RunDriver(L"send --class TQZCorvanexE_Mgr --text CLOSE", dir.path() + L"s.txt"), 0);
  EXPECT_EQ(WaitForSingleObject(manager.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(ReadBytes(dir.path() + L"mgr.txt"),
            "manager window ready\r\ndwData=0 text=LoadCert\r\ndwData=1 text=two words\r\n"
            "dwData=0 text=CLOSE\r\n");
}

TEST(Driver, StoreDumpShowsACertificateAddedThroughTheTokenLibrary) {
  HMODULE dll = LoadLibraryW(PRODUCT_DIR_PATH L"CorvanexMgr.dll");
  ASSERT_NE(dll, nullptr);
  auto add = reinterpret_cast<cmgr::container_addcert_to_store_fn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "container_addcert_to_store")));
  auto remove = reinterpret_cast<cmgr::remove_all_certs_from_store_fn>(
      reinterpret_cast<void*>(GetProcAddress(dll, "remove_all_certs_from_store")));
  const std::string der = TestCertificate("user");
  ASSERT_EQ(
      add("Dump-Container", "Dump Test CSP", 2, reinterpret_cast<const unsigned char*>(der.data()),
          static_cast<int32_t>(der.size())),
      0);
  // The library writes its adds out once they pause, so another program
  // may need a second look.
  TempFolder dir;
  bool dumped = false;
  for (const DWORD start = GetTickCount(); !dumped && GetTickCount() - start < 5000; Sleep(20))
    dumped =
        RunDriver(L"dump-stores", dir.path() + L"dump.txt") == 0 &&
        ReadBytes(dir.path() + L"dump.txt")
                .find("subject=\"Store Test User\" issuer=\"Store Test Intermediate\" ends=") !=
            std::string::npos;
  remove("Dump Test CSP");
  FreeLibrary(dll);
  const std::string dump = ReadBytes(dir.path() + L"dump.txt");
  EXPECT_TRUE(dumped) << dump;
  EXPECT_NE(dump.find("container=\"Dump-Container\" provider=\"Dump Test CSP\" keyspec=2"),
            std::string::npos)
      << dump;
}
