#include "config/managed_policy_win.h"

#include <gtest/gtest.h>

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
