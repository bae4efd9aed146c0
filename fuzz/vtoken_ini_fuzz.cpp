// The virtual token's state files of any content: what is parsed and written
// again reads back the same.
#include "ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const IniFile first = IniFile::Parse(text);
  const std::string written = first.Serialise();
  if (IniFile::Parse(written).Serialise() != written)
    __builtin_trap();
  first.GetInt("token", "triesLeft", 6);
  return 0;
}
