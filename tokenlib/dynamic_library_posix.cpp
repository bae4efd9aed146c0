#include <dlfcn.h>

#include "dynamic_library.h"

bool DynamicLibrary::Open(const std::string& nameOrPath) {
  Close();
  if (IsRelativeWithFolder(nameOrPath))
    return false;
  if (HasFolder(nameOrPath)) {
    handle_ = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
  }
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&HasFolder), &self) && self.dli_fname) {
    std::string own = self.dli_fname;
    own = own.substr(0, own.find_last_of('/') + 1);
    if (!own.empty())
      handle_ = dlopen((own + nameOrPath).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  // A bare name to dlopen searches the system's library folders, not the
  // current directory.
  if (!handle_)
    handle_ = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::Close() {
  if (handle_)
    dlclose(handle_);
  handle_ = nullptr;
}
