#include "dynamic_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

TEST(DynamicLibrary, AFolderInTheNameMustBeAFullPath) {
  for (const char* relative :
       {"lib/module.so", "./module.so", "..\\module.dll", "C:module.dll", "sub\\module.dll"})
    EXPECT_TRUE(IsRelativeWithFolder(relative)) << relative;
  for (const char* allowed : {"module.dll", "/usr/lib/module.so", "C:\\Windows\\module.dll",
                              "c:/x/module.dll", "\\\\server\\share\\module.dll"})
    EXPECT_FALSE(IsRelativeWithFolder(allowed)) << allowed;

  DynamicLibrary library;
  EXPECT_TRUE(library.Open(VTOKEN_MODULE_PATH));
  // The same module named relative to the current directory is not loaded.
  const std::string path = VTOKEN_MODULE_PATH;
  const std::string folder = path.substr(0, path.find_last_of('/'));
  const std::string name = path.substr(path.find_last_of('/') + 1);
  char saved[4096] = {};
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  EXPECT_FALSE(library.Open("./" + name));
  ASSERT_EQ(chdir(saved), 0);
}
