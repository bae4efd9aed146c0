// CorvanexMgr.dll as Windows makes it behave when a root goes into the
// user's "ROOT" store: the system asks the user in a modal box, whose message
// loop runs the monitor's events while it is up. Every other export is the
// real library's (CorvanexMgr_real.dll beside it, forwarded by the .def file).
// "Yes" trusts the root; "No" declines it, as the user may.
#include <windows.h>

#include <string_view>

#include "base/corvanex_mgr_abi.h"

namespace {

constexpr wchar_t kPromptCaption[] = L"Security Warning";

cmgr::helper_add_root_cert_to_store_fn RealAdd() {
  static const auto add =
      reinterpret_cast<cmgr::helper_add_root_cert_to_store_fn>(reinterpret_cast<void*>(
          GetProcAddress(LoadLibraryW(L"CorvanexMgr_real.dll"), "helper_add_root_cert_to_store")));
  return add;
}

}  // namespace

CMGR_API int32_t CMGR_CALL helper_add_root_cert_to_store(const char16_t* storeName,
                                                         const unsigned char* certData,
                                                         int32_t certLen) {
  if (storeName && storeName == std::u16string_view(u"ROOT") &&
      MessageBoxW(nullptr, L"Do you want to install this certificate?", kPromptCaption,
                  MB_YESNO | MB_ICONWARNING) != IDYES)
    return cmgr::kRootDeclined;
  return RealAdd() ? RealAdd()(storeName, certData, certLen) : cmgr::kArgumentsBad;
}
