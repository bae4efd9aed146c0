#pragma once
#include <windows.h>
#include <wincrypt.h>

// The CryptoAPI certificate functions, bound at run time from System32:
// crypt32 is not one of Windows' known DLLs, so a static import would let a
// DLL of that name beside the loading program be used instead.
// clang-format off
#define CRYPT32_FUNCTIONS(X)                                                                  \
  X(CertAddCertificateContextToStore) X(CertCloseStore) X(CertCompareCertificateName)        \
  X(CertControlStore) X(CertCreateCertificateContext) X(CertDeleteCertificateFromStore)      \
  X(CertDuplicateCertificateContext) X(CertDuplicateStore) X(CertEnumCertificatesInStore)    \
  X(CertFindCertificateInStore) X(CertFindExtension) X(CertFreeCertificateContext)           \
  X(CertGetCertificateContextProperty) X(CertGetNameStringW) X(CertNameToStrW) X(CertOpenStore) \
  X(CertSetCertificateContextProperty) X(CryptDecodeObject)
// clang-format on

struct Crypt32Functions {
#define CRYPT32_MEMBER(name) decltype(&::name) name = nullptr;
  CRYPT32_FUNCTIONS(CRYPT32_MEMBER)
#undef CRYPT32_MEMBER
  bool loaded = false;  // every function was found
};

// Loaded at first use; when crypt32 or a function is missing, loaded is false
// and the missing pointers are null.
const Crypt32Functions& Crypt32();
