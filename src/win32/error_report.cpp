#include "win32/error_report.h"

std::string ErrorMessageText(std::string what) {
  if (what.empty() || what.back() != '.')
    what += '.';
  return what;
}
