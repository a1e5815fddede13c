// Clipboard: the loan of the user's clipboard around an acquisition, and the game's coordinates texts.
#pragma once

#include <windows.h>

#define SNAPSHOT_BYTES 67108864ull
#define COORDINATES_BLOCK_BYTES 8191
#define PENDING_MS 100
#define IMPORT_SETTLE_MS 30  // a Windows program's copy is read this long after its notice (Wine's X11 driver)
#define REPEAT_MS 5000
#define GIVE_BACK_LIMIT_MS 30000
#define GONE_OWNER_MS 250   // a format imported from X that fails this fast has no owner behind it
#define RESERVE_MS 1000     // a game's copy served again through X comes within this
#define LATE_COMMAND_MS 5000  // the command may be served again through X this long after a loan
#define SILENT_GRACE_MS 1000  // ... or, while Wine's X bridge is silent, this long after it was

// Who wrote a clipboard change, as its notice found the clipboard.
enum clipboard_writer { WRITER_OTHER, WRITER_GAME, WRITER_X_IMPORT };

// Copies every clipboard format aside and puts "/showlocation" in their place. On 0,
// clipboard_error names the failure and no new snapshot is held; clipboard_busy tells that a later
// try may succeed: the clipboard could not be opened, a format gave no data (yet), or a give-back
// still waits. A format imported from X that nobody can render any more is left out: its read
// fails at once (within GONE_OWNER_MS), or the host reported X's selection without an owner.
int save_clipboard(void);
// "selection <0/1>": the host's view, asked of X just now, of whether X's clipboard selection has an
// owner. It holds until the clipboard changes.
void take_selection_report(int owned);
// 1 when the clipboard holds exactly "/showlocation", written by the bridge's window or served
// again through Wine's X bridge as plain text. On 0, clipboard_busy tells that it could not be
// looked at (held open elsewhere, or Wine's X bridge silent), so a later look may still find it.
int command_owned(void);
// Places the command again where Wine's X bridge lists the lent text in its place, served late by a
// program between Wine and the desktop; 1 when it did. Nothing newer than the loan is overwritten.
int command_put_back(void);

// Puts the snapshot back if the command is still the bridge's own, and releases it. While another
// program holds the clipboard open over what may be the command, the snapshot is kept and
// giving_back set: calling again retries, until GIVE_BACK_LIMIT_MS after the first try. After the
// loan the snapshot is kept (watching) for LATE_COMMAND_MS, longer while Wine's X bridge is silent,
// and calling again gives it back again should the command come back through Wine's X bridge.
void restore_clipboard(void);
// Brings a waiting give-back's last try forward to until, if that is sooner.
void limit_give_back(ULONGLONG until);
// Frees every saved block.
void release_snapshot(void);

// Copies the clipboard's coordinates text into text (4096 units); 0 when it holds none. text_read
// says whether its text could be read at all (else it may be readable a moment later).
int read_coordinates(WCHAR *text, int *text_read);
// Escapes an accepted coordinates text for the text line; out holds 8192 bytes.
void escape_text(const WCHAR *text, char *out);
// WM_CLIPBOARDUPDATE: time-stamps the change and examines it.
void clipboard_changed(void);
// Examines the pending clipboard change, if any, and reports a coordinates text.
void clipboard_update(void);
