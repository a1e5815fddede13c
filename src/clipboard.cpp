// Clipboard: the user's content lent for an acquisition.
//
// Main thread only. Every operation opens the clipboard under window and closes it before it
// returns. Ownership marks the bridge's own writes: the command and a restore are written after
// emptying the clipboard under window, and a change owned by window is never examined.
//
// The loan: save_clipboard copies every format aside (at most 64 formats, 64 MiB) and puts
// "/showlocation" in their place; restore_clipboard puts the copies back only while the clipboard
// still holds that command, so a newer content (the game's answer, the user's own copy) always
// wins. The command is ours whether our window still owns it or a program between Wine and the
// desktop's clipboard (gamescope, a clipboard persister or manager) took it over and serves it
// again: Wine then imports the very same text under its X clipboard bridge. The snapshot is
// released when an acquisition ends, unless another program holds the clipboard open at that
// moment (Wine's X selection bridge, a launcher, the game, any of them descheduled on a busy
// machine): then the give-back waits, retried on every timer tick for up to 30 s, as long as the
// command may still be there. Meanwhile no new snapshot is taken, so the bridge never saves its own
// command as the user's clipboard. A listed format that gives no data fails the loan only for the
// moment, since its owner may be slow; one that nobody can render any more is no data of the
// user's and is left out.

#include "clipboard.h"

#include <string.h>
#include <wchar.h>

#include "wine_bridge.h"
#include "x_clipboard.h"

#define COMMAND_BYTES 28
#define FORMAT_NAME_UNITS 64

static const WCHAR command_text[] = L"/showlocation";

static const char message_general[] = "Le presse-papiers Wine ne peut pas être sauvegardé";
static const char message_format[] =
    "Format du presse-papiers non sauvegardable · copiez un texte court avant le report";
static const char message_too_big[] =
    "Presse-papiers trop volumineux (limite 64 Mo) · copiez un texte court avant le report";

void release_snapshot(void)
{
    for (int i = 0; i < saved_count; i++)
        HeapFree(GetProcessHeap(), 0, saved[i].data);
    saved_count = 0;
}

// Whether the listed formats without data are ones that nobody can give any more: Wine imported
// them from an X selection that has no owner now (a Linux program that copied and quit, another
// Wine session that ended). Wine lists them until the next copy, and fails every read at once, in
// a few ms, since X answers that nobody owns the selection; a live but slow X owner fails a read
// only after Wine's wait for it (500 retries of 1 ms, about 550 ms in all), and answers later.
// Only a failure well inside that wait is taken for a gone owner: a loaded machine can only make a
// read slower, so at worst a gone owner is taken for a slow one, which costs the error line. The
// host's report of X's selection, while nothing has changed since, is the stronger word.
static int formats_unrenderable(ULONGLONG asked_at)
{
    if (!x_import(GetClipboardOwner()))
        return 0;
    if (selection_reported && clipboard_sequence() == unowned_sequence)
        return selection_unowned;
    return GetTickCount64() - asked_at <= GONE_OWNER_MS;
}

void take_selection_report(int owned)
{
    selection_reported = 1;
    selection_unowned = !owned;
    unowned_sequence = clipboard_sequence();
}

// Copies one format aside; 0 with clipboard_error set when it cannot be saved. A format without
// data is left out when nobody can render it, and else may come a moment later.
static int save_format(UINT format, ULONGLONG *total)
{
    ULONGLONG asked_at = GetTickCount64();
    HANDLE data = clipboard_data(format);
    ULONGLONG size = data ? GlobalSize(data) : 0;
    if (size == 0) {
        if (!data && formats_unrenderable(asked_at))
            return 1;
        clipboard_error = message_format;
        clipboard_busy = 1;
        return 0;
    }
    if (saved_count == SNAPSHOT_FORMATS || size > SNAPSHOT_BYTES - *total) {
        clipboard_error = message_too_big;
        return 0;
    }
    void *source = GlobalLock(data);
    if (!source)
        return 0;
    void *copy = HeapAlloc(GetProcessHeap(), 0, size);
    if (!copy) {
        GlobalUnlock(data);
        return 0;
    }
    *total += size;
    memcpy(copy, source, size);
    GlobalUnlock(data);
    saved[saved_count].format = format;
    saved[saved_count].size = size;
    saved[saved_count].data = copy;
    saved_count++;
    return 1;
}

static int save_formats(void)
{
    ULONGLONG total = 0;
    for (UINT format = EnumClipboardFormats(0); format; format = EnumClipboardFormats(format))
        if (!save_format(format, &total))
            return 0;
    return 1;
}

static HGLOBAL global_copy(const void *bytes, SIZE_T size)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block)
        return NULL;
    void *target_bytes = GlobalLock(block);
    if (!target_bytes) {
        GlobalFree(block);
        return NULL;
    }
    memcpy(target_bytes, bytes, size);
    GlobalUnlock(block);
    return block;
}

// Sets every saved format again, in the order the clipboard listed them; the clipboard is open
// and empty. A format that cannot be put back does not stop the others.
static void put_back_formats(void)
{
    for (int i = 0; i < saved_count; i++) {
        HGLOBAL block = global_copy(saved[i].data, saved[i].size);
        if (block && !SetClipboardData(saved[i].format, block))
            GlobalFree(block);
    }
}

// Replaces the clipboard's content with the command; the clipboard is open.
static int place_command(void)
{
    HGLOBAL block = global_copy(command_text, COMMAND_BYTES);
    if (!block)
        return 0;
    if (!EmptyClipboard()) {
        GlobalFree(block);
        return 0;
    }
    if (SetClipboardData(CF_UNICODETEXT, block))
        return 1;
    // The user's content is already gone from the clipboard: give it back before reporting.
    GlobalFree(block);
    put_back_formats();
    return 0;
}

static int holds_command(void);

// Saves every format anew. A watched snapshot is set aside meanwhile: it is freed once the new one
// is complete, and else comes back, so that the watch goes on until a new loan has begun.
static int save_anew(void)
{
    static saved_format watched[SNAPSHOT_FORMATS];
    int watched_count = watching ? saved_count : 0;
    memcpy(watched, saved, sizeof *saved * watched_count);
    saved_count = 0;
    if (!save_formats()) {
        release_snapshot();
        memcpy(saved, watched, sizeof *saved * watched_count);
        saved_count = watched_count;
        return 0;
    }
    for (int i = 0; i < watched_count; i++)
        HeapFree(GetProcessHeap(), 0, watched[i].data);
    watching = 0;
    return 1;
}

int save_clipboard(void)
{
    clipboard_error = message_general;
    // A snapshot still waiting to go back is the user's; the clipboard holds our command meanwhile.
    clipboard_busy = giving_back || !clipboard_open(window);
    if (clipboard_busy)
        return 0;
    // Our command served again late, while the last loan is watched: its snapshot is still the
    // user's content, and is lent again as it is.
    int placed = watching && holds_command() ? place_command() : save_anew() && place_command();
    CloseClipboard();
    if (!placed) {
        if (!watching)
            release_snapshot();
        return 0;
    }
    watching = 0;
    command_sequence = clipboard_sequence();
    prepared = 1;
    return 1;
}

// Whether a registered format is a form of plain text that Wine imports from X.
static int x_text_format(UINT format)
{
    static const WCHAR *const names[] = {L"UTF8_STRING", L"STRING", L"TEXT", L"COMPOUND_TEXT"};
    WCHAR name[FORMAT_NAME_UNITS];
    if (!GetClipboardFormatNameW(format, name, FORMAT_NAME_UNITS))
        return 0;
    if (wcsncmp(name, L"text/plain", 10) == 0)
        return 1;
    for (const WCHAR *text_name : names)
        if (wcscmp(name, text_name) == 0)
            return 1;
    return 0;
}

// The clipboard is open: does it list plain text only, as a program that serves the command
// again lists it? A copy of a page or a document also lists its rich forms.
static int text_formats_only(void)
{
    for (UINT format = EnumClipboardFormats(0); format; format = EnumClipboardFormats(format))
        if (format != CF_UNICODETEXT && format != CF_TEXT && format != CF_OEMTEXT && format != CF_LOCALE &&
            !x_text_format(format))
            return 0;
    return 1;
}

// Whether owner may hold the bridge's command: our window, or Wine's X bridge serving it again.
static int command_owner(HWND owner)
{
    return owner == window || x_import(owner);
}

// The clipboard is open: is its content still the command that the bridge wrote? Either our window
// wrote it and nobody since, or a program between Wine and the desktop served it again: Wine's X
// bridge lists it, as plain text only, and its text is the command byte for byte. A copy of that
// very text by the user, as plain text, is the only other content that looks so.
static int holds_command(void)
{
    HWND owner = GetClipboardOwner();
    if (!command_owner(owner))
        return 0;
    HANDLE data = clipboard_data(CF_UNICODETEXT);
    if (!data)
        return 0;
    const WCHAR *text = (const WCHAR *)GlobalLock(data);
    if (!text)
        return 0;
    int same = GlobalSize(data) >= COMMAND_BYTES && wcscmp(text, command_text) == 0;
    GlobalUnlock(data);
    return same && (owner == window || text_formats_only());
}

int command_owned(void)
{
    // Opened under our window: an import by Wine's X bridge in the middle of this test, of a command
    // served again, would fail the paste; one that finds the clipboard open is dropped, and what the
    // clipboard holds is still the command.
    clipboard_busy = 0;
    if (!command_owner(GetClipboardOwner()))
        return 0;
    clipboard_busy = !clipboard_open(window);
    if (clipboard_busy)
        return 0;
    int owned = holds_command();
    CloseClipboard();
    return owned;
}

// The clipboard is open: does Wine's X bridge list the lent text again, as plain text only? A
// program between Wine and the desktop then served an older copy over the command: gamescope, which
// sleeps until some event wakes it, was seen to take X's clipboard with the copy it had taken in a
// second before, in the very moment that Wine offered X our command, and never to take the command.
static int holds_lent_text(void)
{
    const saved_format *lent = NULL;
    for (int i = 0; i < saved_count; i++)
        if (saved[i].format == CF_UNICODETEXT)
            lent = &saved[i];
    if (!lent || !x_import(GetClipboardOwner()) || !text_formats_only())
        return 0;
    HANDLE data = clipboard_data(CF_UNICODETEXT);
    const WCHAR *text = data ? (const WCHAR *)GlobalLock(data) : NULL;
    if (!text)
        return 0;
    const WCHAR *lent_text = (const WCHAR *)lent->data;
    size_t length = wcsnlen(text, GlobalSize(data) / sizeof(WCHAR));
    int same = length > 0 && length == wcsnlen(lent_text, lent->size / sizeof(WCHAR)) &&
               memcmp(text, lent_text, length * sizeof(WCHAR)) == 0;
    GlobalUnlock(data);
    return same;
}

int command_put_back(void)
{
    if (!prepared || !x_import(GetClipboardOwner()) || !clipboard_open(window))
        return 0;
    int placed = holds_lent_text() && place_command();
    CloseClipboard();
    if (placed)
        command_sequence = clipboard_sequence();
    return placed;
}

// Puts the snapshot back if the clipboard still holds the command. 0 when the give-back must wait:
// another program has the clipboard open, and what it holds may still be the command (unchanged
// since we placed it, or imported from X, which we can only tell by reading it).
static int give_back(void)
{
    HWND owner = GetClipboardOwner();
    if (!command_owner(owner))
        return 1;
    if (!clipboard_open(window))
        return owner == window && clipboard_sequence() != command_sequence;
    // The ownership test is made inside the same opening as the restore, so that nobody can write
    // the clipboard between the test and the emptying.
    if (holds_command()) {
        EmptyClipboard();
        put_back_formats();
    }
    CloseClipboard();
    return 1;
}

// Wine's X bridge imports what was served only when it answers, and it was seen asleep for 20 s and
// more, deaf to every message until its next X event: while it is silent at the end of the watch,
// and for SILENT_GRACE_MS once it answers again, the watch goes on, up to watch_limit.
static void watch_on_while_x_bridge_silent(ULONGLONG now)
{
    int silent = x_bridge_silent();
    if (silent || x_bridge_was_silent)
        watch_until = now + SILENT_GRACE_MS;
    x_bridge_was_silent = silent;
}

// Keeps the snapshot after the acquisition has ended, in case a program between Wine and X (gamescope,
// a clipboard persister) serves the command again late: it reads the command whenever it notices it,
// which on a loaded machine may be after the game's answer, and Wine's X bridge can only import its
// serve once our window's thread is free. Nothing tells beforehand whether such a program runs, so
// every loan is watched: whatever the clipboard holds is looked at once per change until
// LATE_COMMAND_MS have passed; should the command come back, the snapshot goes back again.
static int watch_for_late_command(ULONGLONG now, int just_ended)
{
    if (just_ended) {
        watching = 1;
        watch_until = now + LATE_COMMAND_MS;
        watch_limit = watch_until + GIVE_BACK_LIMIT_MS;
        x_bridge_was_silent = 0;
    }
    if (watching && now >= watch_until && now < watch_limit)
        watch_on_while_x_bridge_silent(now);
    return watching && now < watch_until;
}

// At the end of a watch, what we gave back is written once more while it is still ours and
// unchanged: Wine drops an import that finds the clipboard open, so X's clipboard may still hold a
// command served late for Linux programs, while ours holds the user's content. Writing it again
// makes Wine take X's clipboard back with it.
static int still_given_back(void)
{
    return GetClipboardOwner() == window && clipboard_sequence() == looked_sequence;
}

// 0 while it must wait: the clipboard is held open by another program (Wine's X bridge exporting
// or importing, most likely), until GIVE_BACK_LIMIT_MS past the watch.
static int write_again(ULONGLONG now)
{
    if (!still_given_back())
        return 1;
    if (!clipboard_open(window))
        return now >= watch_limit;
    // Tested again inside the opening, so that nobody writes between the test and the emptying.
    if (still_given_back() && EmptyClipboard())
        put_back_formats();
    CloseClipboard();
    return 1;
}

void restore_clipboard(void)
{
    ULONGLONG now = GetTickCount64();
    int just_ended = prepared && !giving_back && !watching;
    int watched = prepared && watch_for_late_command(now, just_ended);
    // A closing bridge looks once more, and keeps nothing for later: its window, the clipboard's
    // owner, is about to go.
    int kept = watched && !closing;
    if (prepared && (just_ended || giving_back || (watched && clipboard_sequence() != looked_sequence))) {
        if (!give_back()) {
            if (!giving_back)
                give_back_until = now + GIVE_BACK_LIMIT_MS;
            giving_back = 1;
            if (now < give_back_until)
                return;
        } else {
            giving_back = 0;
            looked_sequence = clipboard_sequence();
        }
    }
    if (kept && !giving_back)
        return;
    if (watching && !giving_back && !closing && !write_again(now))
        return;
    giving_back = 0;
    watching = 0;
    prepared = 0;
    release_snapshot();
}

void limit_give_back(ULONGLONG until)
{
    if (giving_back && until < give_back_until)
        give_back_until = until;
}

