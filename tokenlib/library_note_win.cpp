#include "library_note.h"

#include "base/diagnostic_log.h"
#include "base/text_win.h"

namespace tokenlib {

void WriteLibraryNote(const std::string& text) {
  WriteDiagnosticLog(FromAnsi(text));
}

}  // namespace tokenlib
