#include "dynamic_library.h"

bool HasFolder(const std::string& nameOrPath) {
  return nameOrPath.find_first_of("/\\:") != std::string::npos;
}

bool IsRelativeWithFolder(const std::string& nameOrPath) {
  if (!HasFolder(nameOrPath))
    return false;
  const auto& p = nameOrPath;
  const bool drive = p.size() >= 3 &&
                     ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) &&
                     p[1] == ':' && (p[2] == '\\' || p[2] == '/');
  const bool unc = p.rfind("\\\\", 0) == 0;
  return !(drive || unc || p[0] == '/');
}
