#include <dlfcn.h>

#include "token_state.h"

std::string vtoken::ModuleFolder() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&vtoken::ModuleFolder), &info) || !info.dli_fname)
    return "";
  std::string path = info.dli_fname;
  return path.substr(0, path.find_last_of('/') + 1);
}
