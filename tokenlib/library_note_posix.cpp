#include <cstdio>

#include "library_note.h"

namespace tokenlib {

void WriteLibraryNote(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace tokenlib
