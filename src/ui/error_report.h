#pragma once
#include <string>

// The text of the box that reports an error escaping an event handler: the
// error's text with a period added unless it already ends in one.
std::string ErrorMessageText(std::string what);

// The text for a failed file operation's system error: "File access denied",
// "File not found", "Disk full", or "I/O error <code>".
std::string FileErrorText(unsigned long systemError);
