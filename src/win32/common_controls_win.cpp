#include "win32/common_controls_win.h"

#include "base/system_library_win.h"

namespace common_controls {

namespace {

template <class Fn>
Fn Bound(const char* name) {
  return SystemFunction<Fn>(L"comctl32.dll", name);
}

}  // namespace

bool InitClasses(DWORD classes) {
  static const auto init = Bound<decltype(&::InitCommonControlsEx)>("InitCommonControlsEx");
  INITCOMMONCONTROLSEX request{sizeof request, classes};
  return init && init(&request);
}

bool Subclass(HWND window, SUBCLASSPROC proc, UINT_PTR id) {
  static const auto set = Bound<decltype(&::SetWindowSubclass)>("SetWindowSubclass");
  return set && set(window, proc, id, 0);
}

void RemoveSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id) {
  static const auto remove = Bound<decltype(&::RemoveWindowSubclass)>("RemoveWindowSubclass");
  if (remove)
    remove(window, proc, id);
}

LRESULT DefaultProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  static const auto next = Bound<decltype(&::DefSubclassProc)>("DefSubclassProc");
  return next ? next(window, msg, wp, lp) : DefWindowProcW(window, msg, wp, lp);
}

HIMAGELIST CreateIconList(int size, int count) {
  static const auto create = Bound<decltype(&::ImageList_Create)>("ImageList_Create");
  return create ? create(size, size, ILC_COLOR32 | ILC_MASK, count, 0) : nullptr;
}

int AddIcon(HIMAGELIST list, HICON icon) {
  static const auto replace = Bound<decltype(&::ImageList_ReplaceIcon)>("ImageList_ReplaceIcon");
  return replace && list ? replace(list, -1, icon) : -1;
}

void DestroyImageList(HIMAGELIST list) {
  static const auto destroy = Bound<decltype(&::ImageList_Destroy)>("ImageList_Destroy");
  if (destroy && list)
    destroy(list);
}

}  // namespace common_controls
