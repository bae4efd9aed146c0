#pragma once
#include <string>

// %APPDATA%\Veltrox\CorvanexE\, created with its parents when missing.
std::wstring GetUserDataDir();
// %APPDATA%\Veltrox\CorvanexE\update\, created likewise.
std::wstring GetUpdateFolder();

// HKEY_CURRENT_USER\<keyPath>, value "CorvanexE" = value; silent on failure.
void WriteLanguageCspToRegistry(const std::wstring& keyPath, const std::wstring& value);

// Fixed file version "a.b.c.d"; empty without a version block, "-1" when the
// block cannot be read.
std::wstring GetFileVersionText(const std::wstring& fileName);
