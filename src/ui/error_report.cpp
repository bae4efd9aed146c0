#include "ui/error_report.h"

std::string ErrorMessageText(std::string what) {
  if (what.empty() || what.back() != '.')
    what += '.';
  return what;
}

std::string FileErrorText(unsigned long systemError) {
  switch (systemError) {
    case 2:  // ERROR_FILE_NOT_FOUND
    case 3:  // ERROR_PATH_NOT_FOUND
      return "File not found";
    case 5:  // ERROR_ACCESS_DENIED
      return "File access denied";
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      return "Disk full";
  }
  return "I/O error " + std::to_string(systemError);
}
