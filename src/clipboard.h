// Clipboard: the loan of the user's clipboard around an acquisition, and the game's coordinates texts.
#pragma once

#include <windows.h>

#define SNAPSHOT_BYTES 67108864ull
#define COORDINATES_BLOCK_BYTES 8191
#define PENDING_MS 100
#define REPEAT_MS 5000

// Copies every clipboard format aside and puts "/showlocation" in their place. On 0,
// clipboard_error names the failure and nothing is held.
int save_clipboard(void);
// 1 when the bridge's window owns the clipboard and it holds exactly "/showlocation".
int command_owned(void);
// Puts the snapshot back if the command is still the bridge's own, and releases it in any case.
void restore_clipboard(void);
// Frees every saved block.
void release_snapshot(void);

// Copies the clipboard's coordinates text into text (4096 units); 0 when it holds none.
int read_coordinates(WCHAR *text);
// Escapes an accepted coordinates text for the text line; out holds 8192 bytes.
void escape_text(const WCHAR *text, char *out);
// WM_CLIPBOARDUPDATE: time-stamps the change and examines it.
void clipboard_changed(void);
// Examines the pending clipboard change, if any, and reports a coordinates text.
void clipboard_update(void);
