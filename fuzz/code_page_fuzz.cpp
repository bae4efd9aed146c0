// Token labels of any bytes crossing into the system code page: an exact form
// must read back as the same UTF-8, and what is only shown never fails.
#include <string>

#include "code_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto gbk = tokenlib::NamedCodePage("GBK");
  static const auto latin = tokenlib::NamedCodePage("ISO-8859-1");
  const std::string label(reinterpret_cast<const char*>(data), size);
  for (const tokenlib::CodePage* page : {gbk.get(), latin.get()}) {
    if (const auto exact = page->FromUtf8(label)) {
      const auto back = page->ToUtf8(exact->view());
      if (!back || back->view() != label)
        __builtin_trap();
    }
    tokenlib::DisplayText(*page, label);
  }
  return 0;
}
