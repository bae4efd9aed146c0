#pragma once
#include <windows.h>

#include <string>
#include <vector>

// A certificate of the current user's stores as tests look at it.
struct StoredCert {
  std::wstring subject, container, provider;
  std::wstring ends;  // yyyy-mm-dd (UTC) of the end of validity
  DWORD keySpec = 0;
};

// The certificates of one of the current user's system stores ("MY", "ROOT", "CA").
std::vector<StoredCert> ListStore(const wchar_t* name);
