#pragma once
#include <windows.h>
#include <commctrl.h>

// The few comctl32 functions the program uses, bound at run time: comctl32 is
// not one of Windows' known DLLs, so a static import would let a DLL of that
// name beside the program be loaded instead. The program's manifest still
// selects version 6 (the name is resolved through the activation context).
namespace common_controls {

bool InitClasses(DWORD classes);
bool Subclass(HWND window, SUBCLASSPROC proc, UINT_PTR id);
void RemoveSubclass(HWND window, SUBCLASSPROC proc, UINT_PTR id);
LRESULT DefaultProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
// An image list of 32-bit icons of size pixels square; null when comctl32
// cannot make one. The caller destroys it (DestroyImageList).
HIMAGELIST CreateIconList(int size, int count);
int AddIcon(HIMAGELIST list, HICON icon);
void DestroyImageList(HIMAGELIST list);

}  // namespace common_controls
