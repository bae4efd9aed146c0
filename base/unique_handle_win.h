#pragma once
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <utility>

#include "base/crypt32_win.h"

// Move-only owner of one Win32 handle: its type, the function that closes it
// and the value that means "none" (as an integer, so INVALID_HANDLE_VALUE
// can be named too).
template <class T, auto Close, std::intptr_t InvalidValue = 0>
class UniqueAny {
 public:
  static T Invalid() { return reinterpret_cast<T>(InvalidValue); }

  UniqueAny() = default;
  explicit UniqueAny(T h) : h_(h) {}
  ~UniqueAny() { reset(); }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& o) noexcept : h_(o.release()) {}
  UniqueAny& operator=(UniqueAny&& o) noexcept {
    if (this != &o)
      reset(o.release());
    return *this;
  }

  T get() const { return h_; }
  T operator->() const { return h_; }  // for handles that are pointers to records
  explicit operator bool() const { return h_ != Invalid(); }
  T release() { return std::exchange(h_, Invalid()); }
  // For functions that hand a new handle back through a pointer.
  T* put() {
    reset();
    return &h_;
  }
  // Closing keeps GetLastError, so a caller can still report why the step
  // before failed.
  void reset(T h = Invalid()) {
    if (h_ != Invalid()) {
      const DWORD error = GetLastError();
      Close(h_);
      SetLastError(error);
    }
    h_ = h;
  }

 private:
  T h_ = Invalid();
};

namespace unique_handle_detail {
inline void CloseStore(HCERTSTORE store) {
  if (Crypt32().CertCloseStore)
    Crypt32().CertCloseStore(store, 0);
}
inline void FreeCertContext(PCCERT_CONTEXT cert) {
  if (Crypt32().CertFreeCertificateContext)
    Crypt32().CertFreeCertificateContext(cert);
}
inline void ReleaseScreenDC(HDC dc) {
  ReleaseDC(nullptr, dc);
}
}  // namespace unique_handle_detail

using UniqueKernelHandle = UniqueAny<HANDLE, &::CloseHandle>;  // events, mappings, processes
using UniqueFile = UniqueAny<HANDLE, &::CloseHandle, -1>;      // INVALID_HANDLE_VALUE
using UniqueRegKey = UniqueAny<HKEY, &::RegCloseKey>;
using UniqueModule = UniqueAny<HMODULE, &::FreeLibrary>;
using UniqueMappedView = UniqueAny<void*, &::UnmapViewOfFile>;
using UniqueWindow = UniqueAny<HWND, &::DestroyWindow>;
using UniqueIcon = UniqueAny<HICON, &::DestroyIcon>;
using UniqueGdiObject = UniqueAny<HGDIOBJ, &::DeleteObject>;
using UniqueMenu = UniqueAny<HMENU, &::DestroyMenu>;
using UniqueDeviceNotify = UniqueAny<HDEVNOTIFY, &::UnregisterDeviceNotification>;
using UniqueScreenDC = UniqueAny<HDC, &unique_handle_detail::ReleaseScreenDC>;  // GetDC(nullptr)
using UniqueCertStore = UniqueAny<HCERTSTORE, &unique_handle_detail::CloseStore>;
using UniqueCertContext = UniqueAny<PCCERT_CONTEXT, &unique_handle_detail::FreeCertContext>;
