// The manager application: one instance per session; a second start brings
// the first to the front.
#include <windows.h>

#include "base/files_win.h"
#include "base/shared_names.h"
#include "base/unique_handle_win.h"
#include "config/product_settings_win.h"
#include "manager/manager_form_win.h"
#include "win32/guarded_win.h"
#include "win32/modal_win.h"

namespace {

constexpr wchar_t kInstanceName[] = L"Local\\TQZCorvanexE_Mgr.Instance";

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  UniqueKernelHandle instance(CreateMutexW(nullptr, FALSE, kInstanceName));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    if (HWND first = FindWindowW(names::kManagerWindowClass, nullptr)) {
      ShowWindow(first, SW_RESTORE);
      SetForegroundWindow(first);
    }
    return 0;
  }
  const std::wstring exeDir = ExecutableFolder();
  ProductSettings product = ReadProductSettings(exeDir);
  SetApplicationTitle(product.strings.P_Caption);
  std::unique_ptr<TManagerForm> form = TManagerForm::Create(exeDir, std::move(product));
  if (!form)
    return 1;
  MSG msg;
  while (NextMessage(msg)) {
    if (IsDialogMessageW(form->hwnd(), &msg))
      continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
