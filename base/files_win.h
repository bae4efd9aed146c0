#pragma once
#include <string>

// Folder of the running executable, ending in a backslash.
std::wstring ExecutableFolder();
std::wstring ModuleFileName(void* module);
// Environment variable, empty when unset.
std::wstring GetEnv(const wchar_t* name);
bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
// A file or folder marked read-only. Such a file is never written, even where
// the file system would let us (Wine running as root).
bool IsMarkedReadOnly(const std::wstring& path);
// Creates path and every missing parent; true when the folder exists after.
bool CreateFolderTree(const std::wstring& path);
