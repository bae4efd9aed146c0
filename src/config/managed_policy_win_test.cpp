#include "config/managed_policy_win.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include "tests/support/test_files_win.h"

// Every folder from which the way to a module could be changed, down to the
// root itself: "C:" alone would be the drive's current directory.
TEST(ModuleFolders, EveryFolderAboveDownToTheRoot) {
  using Folders = std::vector<std::wstring>;
  EXPECT_EQ(FoldersAbove(L"C:\\Vendor\\lib\\p11.dll"),
            (Folders{L"C:\\Vendor\\lib", L"C:\\Vendor", L"C:\\"}));
  EXPECT_EQ(FoldersAbove(L"C:\\p11.dll"), (Folders{L"C:\\"}));
  EXPECT_EQ(FoldersAbove(L"D:/SoftHSM2/lib/softhsm2.dll"),
            (Folders{L"D:\\SoftHSM2\\lib", L"D:\\SoftHSM2", L"D:\\"}));
  EXPECT_EQ(FoldersAbove(L"\\\\server\\share\\p11\\x.dll"),
            (Folders{L"\\\\server\\share\\p11", L"\\\\server\\share\\"}));
  for (const wchar_t* notFull : {L"p11.dll", L"C:p11.dll", L"\\\\server", L"lib\\p11.dll"})
    EXPECT_TRUE(FoldersAbove(notFull).empty()) << notFull;
}

// A module the user made, or any path not fully given, could be replaced.
TEST(ModuleFolders, AModuleTheUserMadeCouldBeReplaced) {
  TempFolder dir;
  const std::wstring module = dir.path() + L"p11.dll";
  WriteBytes(module, "MZ");
  EXPECT_TRUE(UserCouldReplaceModule(module));
  EXPECT_TRUE(UserCouldReplaceModule(L"p11.dll"));
  EXPECT_TRUE(UserCouldReplaceModule(dir.path() + L"missing.dll"));
}

// Inside a service, a module is judged by who else could change it: only
// the system's own accounts may own it or hold a right that changes it.
TEST(ModuleFolders, InAServiceOnlyTheSystemsOwnAccountsMayChangeAModule) {
  constexpr DWORD kChange = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE;
  const std::wstring trustedInstaller =
      L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::pair<std::wstring, bool> cases[] = {
      {L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;WD)", false},
      {L"O:" + trustedInstaller + L"D:(A;;FA;;;" + trustedInstaller + L")(A;;GRGX;;;AU)", false},
      {L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;CO)", false},  // for what is made below only
      {L"O:BAD:(A;;FA;;;BA)(D;;FA;;;BU)", false},        // a denial takes away
      {L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)", true},    // an ordinary owner
      {L"O:BAD:(A;;FA;;;BA)(A;;FA;;;S-1-5-21-1-2-3-1001)", true},
      {L"O:BAD:(A;;FA;;;BA)(A;;GW;;;AU)", true},  // generic write, mapped
      {L"O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", true},  // delete
  };
  for (const auto& [sddl, changeable] : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << sddl;
    EXPECT_EQ(OrdinaryUserCouldChange(descriptor, kChange), changeable) << sddl;
    LocalFree(descriptor);
  }
  // No DACL at all: everyone may do everything.
  SECURITY_DESCRIPTOR open{};
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&open, admins, FALSE);
  SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
  EXPECT_TRUE(OrdinaryUserCouldChange(&open, kChange));
}
