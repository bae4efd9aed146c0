#include "dynamic_library.h"

bool HasFolder(const std::string& nameOrPath) {
  return nameOrPath.find_first_of("/\\:") != std::string::npos;
}
