// The clipboard tool's hold: the clipboard kept open under the tool's window for a while, as a busy
// program in a real prefix (Wine's X clipboard bridge, a launcher, the game) keeps it.
#pragma once

#include <windows.h>

// hold <ms> [after <ms>] [read]: see clipboard_hold.cpp.
void command_hold(HWND window, const char *rest);
// The hold's timers; 1 when the message was one of them.
int hold_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
