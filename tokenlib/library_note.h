#pragma once
// Where the library tells what it had to leave out of a pass: the program's
// diagnostic log on Windows, standard error elsewhere.
#include <string>

namespace tokenlib {

void WriteLibraryNote(const std::string& text);

}  // namespace tokenlib
