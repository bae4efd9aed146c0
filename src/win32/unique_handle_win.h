#pragma once
#include <windows.h>

#include <utility>

// Move-only owner of one Win32 handle. Traits give the handle type, its
// invalid value and how to close it.
template <class Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }

  Type get() const { return h_; }
  explicit operator bool() const { return h_ != Traits::Invalid(); }
  Type release() { return std::exchange(h_, Traits::Invalid()); }
  // Closing keeps GetLastError, so a caller can still report why the step
  // before failed.
  void reset(Type h = Traits::Invalid()) {
    if (h_ != Traits::Invalid()) {
      const DWORD error = GetLastError();
      Traits::Close(h_);
      SetLastError(error);
    }
    h_ = h;
  }

 private:
  Type h_ = Traits::Invalid();
};

struct KernelHandleTraits {  // events, mappings, processes, threads
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { CloseHandle(h); }
};
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { CloseHandle(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { RegCloseKey(h); }
};
struct ModuleTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { FreeLibrary(h); }
};
struct MappedViewTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static void Close(Type p) { UnmapViewOfFile(p); }
};
struct WindowTraits {
  using Type = HWND;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { DestroyWindow(h); }
};
struct IconTraits {
  using Type = HICON;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { DestroyIcon(h); }
};
struct GdiObjectTraits {
  using Type = HGDIOBJ;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { DeleteObject(h); }
};
struct MenuTraits {
  using Type = HMENU;
  static Type Invalid() { return nullptr; }
  static void Close(Type h) { DestroyMenu(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueMappedView = UniqueHandle<MappedViewTraits>;
using UniqueWindow = UniqueHandle<WindowTraits>;
using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueGdiObject = UniqueHandle<GdiObjectTraits>;
using UniqueMenu = UniqueHandle<MenuTraits>;
