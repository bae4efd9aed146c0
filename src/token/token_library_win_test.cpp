#include "token/token_library_win.h"

#include <gtest/gtest.h>

#include "test_paths.h"
#include "token/token_operations.h"

TEST(DllTokenLibrary, BindsAllTwentyFunctionsOfTheShippedLibrary) {
  DllTokenLibrary lib(PRODUCT_DIR_PATH L"CorvanexMgr.dll");
  ASSERT_TRUE(lib.Loaded());
  // A module that is not there: the start fails, and both ends are tolerated.
  EXPECT_NE(InitTokenLibrary(lib, L"no_such_pkcs11.dll"), 0);
  std::int32_t count = 5;
  EXPECT_EQ(FindAndConnectTokens(lib, count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(lib.remove_all_certs_from_store(L"Nobody's CSP"), 0);
  lib.uninit_pkcs11();
  lib.uninit_pkcs11();
}

TEST(DllTokenLibrary, AMissingLibraryFailsEveryCall) {
  DllTokenLibrary lib(PRODUCT_DIR_PATH L"NoSuchLibrary.dll");
  EXPECT_FALSE(lib.Loaded());
  EXPECT_EQ(InitTokenLibrary(lib, L"v9arc_pkcs11.dll"), DllTokenLibrary::kLibraryMissing);
  EXPECT_EQ(lib.uninit_pkcs11(), DllTokenLibrary::kLibraryMissing);
}

// A name the system code page holds only by best fit ("\xFF34" as "T") would
// load another file than the one named: refused before the library sees it.
TEST(DllTokenLibrary, AModuleNameTheCodePageCannotHoldIsRefused) {
  if (GetACP() == CP_UTF8)
    GTEST_SKIP() << "UTF-8 holds every name";
  DllTokenLibrary lib(PRODUCT_DIR_PATH L"CorvanexMgr.dll");
  ASSERT_TRUE(lib.Loaded());
  EXPECT_EQ(lib.init_pkcs11(L"\xFF34oken.dll"), cmgr::kArgumentsBad);
  EXPECT_EQ(lib.init_pkcs11_ex(L"", L"", L"", L"\xFF34oken.dll"), cmgr::kArgumentsBad);
  lib.uninit_pkcs11();
}
