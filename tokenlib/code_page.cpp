#include "code_page.h"

namespace tokenlib {

std::string DisplayText(const CodePage& codePage, std::string_view utf8) {
  if (auto exact = codePage.FromUtf8(utf8))
    return std::string(exact->view());
  // ASCII reads the same in every code page; each other character, and each
  // byte that is not UTF-8, shows as '?'.
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80)
      out += static_cast<char>(c);
    else if ((c & 0xC0) != 0x80)
      out += '?';
  }
  return out;
}

}  // namespace tokenlib
