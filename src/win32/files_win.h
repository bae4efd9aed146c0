#pragma once
#include <string>

// Folder of the running executable, ending in a backslash.
std::wstring ExecutableFolder();
std::wstring ModuleFileName(void* module);
// Environment variable, empty when unset.
std::wstring GetEnv(const wchar_t* name);
bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Creates path and every missing parent; true when the folder exists after.
bool CreateFolderTree(const std::wstring& path);
