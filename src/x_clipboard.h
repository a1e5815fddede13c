// Clipboard: what a Linux program offers, as Wine's X clipboard bridge lists it, read without
// waiting on that bridge for ever.
#pragma once

#include <windows.h>

// 1 when owner is Wine's X clipboard bridge, which lists what an X program offers.
int x_import(HWND owner);
// 1 when Wine's X clipboard bridge is there (Wine's X11 driver runs).
int x_bridge_runs(void);
// 1 when Wine's X clipboard bridge is there and leaves a message unanswered for a moment.
int x_bridge_silent(void);
// OpenClipboard, but 0 at once while Wine's X bridge owns the clipboard and does not answer.
int clipboard_open(HWND window);
// The same, to read only: the clipboard is opened so that Wine's X bridge can still import.
int clipboard_open_to_read(HWND window);
// GetClipboardData, but a format of Wine's X bridge is rendered first within a time limit, and
// none when it gives no data then. The clipboard is open.
HANDLE clipboard_data(UINT format);
// The clipboard's sequence number, less the steps that our own renders of X formats made.
DWORD clipboard_sequence(void);
// Forgets the renders made so far (for tests).
void forget_renders(void);
