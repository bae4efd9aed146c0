#include "base/crypt32_win.h"

#include "base/system_library_win.h"

const Crypt32Functions& Crypt32() {
  static const Crypt32Functions functions = [] {
    Crypt32Functions f;
    f.loaded = true;
#define CRYPT32_BIND(name)                                           \
  f.name = SystemFunction<decltype(&::name)>(L"crypt32.dll", #name); \
  f.loaded = f.loaded && f.name != nullptr;
    CRYPT32_FUNCTIONS(CRYPT32_BIND)
#undef CRYPT32_BIND
    return f;
  }();
  return functions;
}
