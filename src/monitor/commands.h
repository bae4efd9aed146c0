#pragma once
#include <string>

// One text command (UTF-16 with its NUL) by WM_COPYDATA to the top-level
// window of className; dropped silently when there is none.
void SendCopyDataCommand(const std::wstring& text,
                         const std::wstring& className,
                         void* senderWindow);

// On token removal: closes the program's dialogs and, once no token is left,
// answers an open prompt with No.
void CloseDialogsOnRemoval(int tokenCount, const std::wstring& promptCaption);
