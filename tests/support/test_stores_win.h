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

// A certificate of the library's test data (tokenlib/testdata/certs/<name>.der).
std::string TestCertificate(const char* name);

// The certificates of one of the current user's system stores ("MY", "ROOT", "CA").
std::vector<StoredCert> ListStore(const wchar_t* name);

// Puts a certificate into the user's "MY" the way a user or another program
// would (not through our library): linked to provider and container, or to
// no key when provider is empty. False when that failed.
bool ImportToMy(const std::string& der,
                const std::wstring& provider,
                const std::wstring& container,
                const std::wstring& description = L"");
// Deletes every copy with this subject from one of the current user's
// system stores, whoever put it there.
void DeleteSubjectFromStore(const wchar_t* store, const std::wstring& subject);
