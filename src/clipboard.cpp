// Clipboard: the user's content lent for an acquisition, and the game's answers read from it.
//
// Main thread only. Every operation opens the clipboard under window and closes it before it
// returns. Ownership marks the bridge's own writes: the command and a restore are written after
// emptying the clipboard under window, and a change owned by window is never examined.
//
// The loan: save_clipboard copies every format aside (at most 64 formats, 64 MiB) and puts
// "/showlocation" in their place; restore_clipboard puts the copies back only while the clipboard
// still holds that command, written by us, so a newer content (the game's answer, the user's own
// copy) always wins. The snapshot is released when an acquisition ends, unless another program
// holds the clipboard open at that moment (Wine's X selection bridge, a launcher, the game, any of
// them descheduled on a busy machine): then the give-back waits, retried on every timer tick for up
// to 30 s, as long as the command is still there unchanged. Meanwhile no new snapshot is taken, so
// the bridge never saves its own command as the user's clipboard. A listed format that gives no
// data fails the loan only for the moment, since its owner may be slow; one that nobody can render
// any more is no data of the user's and is left out.
//
// The capture: WM_CLIPBOARDUPDATE time-stamps a change; clipboard_update examines it then and on the
// following ticks for up to 100 ms, and reports a valid "Coordinates:" text as a text line.

#include "clipboard.h"

#include <string.h>
#include <wchar.h>

#include "game_watch.h"
#include "host_protocol.h"
#include "wine_bridge.h"

#define COMMAND_BYTES 28
#define PREFIX_UNITS 12
#define ESCAPED_BYTES 8192
#define UNIX_EPOCH_IN_FILETIME 116444736000000000ull

static const WCHAR command_text[] = L"/showlocation";
static const WCHAR coordinates_prefix[] = L"Coordinates:";

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

// Wine lists what an X program offers on the clipboard under a window of this class, its X
// clipboard bridge, and renders each format from X when asked for it.
static const WCHAR x_import_class[] = L"__wine_clipboard_manager";

// Whether the listed formats without data are ones that nobody can give any more: Wine imported
// them from an X selection that has no owner now (a Linux program that copied and quit, another
// Wine session that ended), as the host saw since the last change. Wine lists them until the next
// copy, and fails every read at once; a live but slow X owner fails a read only after half a
// second, and answers later.
static int formats_unrenderable(void)
{
    WCHAR name[sizeof x_import_class / sizeof(WCHAR) + 1];
    return selection_unowned && GetClipboardSequenceNumber() == unowned_sequence &&
           GetClassNameW(GetClipboardOwner(), name, sizeof name / sizeof(WCHAR)) && wcscmp(name, x_import_class) == 0;
}

void take_selection_report(int owned)
{
    selection_unowned = !owned;
    unowned_sequence = GetClipboardSequenceNumber();
}

// Copies one format aside; 0 with clipboard_error set when it cannot be saved. A format without
// data is left out when nobody can render it, and else may come a moment later.
static int save_format(UINT format, ULONGLONG *total)
{
    HANDLE data = GetClipboardData(format);
    ULONGLONG size = data ? GlobalSize(data) : 0;
    if (size == 0) {
        if (formats_unrenderable())
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

int save_clipboard(void)
{
    clipboard_error = message_general;
    // A snapshot still waiting to go back is the user's; the clipboard holds our command meanwhile.
    clipboard_busy = giving_back || !OpenClipboard(window);
    if (clipboard_busy)
        return 0;
    release_snapshot();
    int placed = save_formats() && place_command();
    CloseClipboard();
    if (!placed) {
        release_snapshot();
        return 0;
    }
    command_sequence = GetClipboardSequenceNumber();
    prepared = 1;
    return 1;
}

// The clipboard is open: is its content still the command that the bridge wrote?
static int holds_command(void)
{
    if (GetClipboardOwner() != window)
        return 0;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (!data)
        return 0;
    const WCHAR *text = (const WCHAR *)GlobalLock(data);
    if (!text)
        return 0;
    int same = GlobalSize(data) >= COMMAND_BYTES && wcscmp(text, command_text) == 0;
    GlobalUnlock(data);
    return same;
}

int command_owned(void)
{
    if (GetClipboardOwner() != window || !OpenClipboard(window))
        return 0;
    int owned = holds_command();
    CloseClipboard();
    return owned;
}

// Puts the snapshot back if the clipboard still holds the command. 0 when the give-back must wait:
// another program has the clipboard open, and nobody has changed it since the command was placed.
static int give_back(void)
{
    if (GetClipboardOwner() != window)
        return 1;
    if (!OpenClipboard(window))
        return GetClipboardSequenceNumber() != command_sequence;
    // The ownership test is made inside the same opening as the restore, so that nobody can write
    // the clipboard between the test and the emptying.
    if (holds_command()) {
        EmptyClipboard();
        put_back_formats();
    }
    CloseClipboard();
    return 1;
}

void restore_clipboard(void)
{
    if (prepared && !give_back()) {
        ULONGLONG now = GetTickCount64();
        if (!giving_back)
            give_back_until = now + GIVE_BACK_LIMIT_MS;
        giving_back = 1;
        if (now < give_back_until)
            return;
    }
    giving_back = 0;
    prepared = 0;
    release_snapshot();
}

void limit_give_back(ULONGLONG until)
{
    if (giving_back && until < give_back_until)
        give_back_until = until;
}

static int allowed_unit(WCHAR unit)
{
    return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || (unit >= L'0' && unit <= L'9') ||
           unit == L' ' || unit == L':' || unit == L'+' || unit == L'-' || unit == L'.' || unit == L'\t' ||
           unit == L'\r' || unit == L'\n';
}

// A coordinates text: terminated within the block, "Coordinates:" first, nothing but the allowed
// characters; everything else is refused.
static int coordinates_text(const WCHAR *text, SIZE_T size)
{
    size_t length = wcsnlen(text, size / sizeof(WCHAR));
    if (length == size / sizeof(WCHAR))
        return 0;
    if (wcsncmp(text, coordinates_prefix, PREFIX_UNITS) != 0)
        return 0;
    int allowed = 1;
    for (size_t i = 0; i < length; i++)
        allowed &= allowed_unit(text[i]);
    return allowed;
}

static int read_text_block(HANDLE data, WCHAR *text)
{
    SIZE_T size = GlobalSize(data);
    if (size < 1 || size > COORDINATES_BLOCK_BYTES)
        return 0;
    const WCHAR *source = (const WCHAR *)GlobalLock(data);
    if (!source)
        return 0;
    int valid = coordinates_text(source, size);
    if (valid)
        memcpy(text, source, (wcslen(source) + 1) * sizeof(WCHAR));
    GlobalUnlock(data);
    return valid;
}

int read_coordinates(WCHAR *text)
{
    if (!OpenClipboard(window))
        return 0;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    int found = data && read_text_block(data, text);
    CloseClipboard();
    return found;
}

void escape_text(const WCHAR *text, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i == 0 || (text[i] && n <= ESCAPED_BYTES - 4); i++) {
        WCHAR unit = text[i];
        if (unit == L'\t' || unit == L'\r' || unit == L'\n') {
            out[n++] = '\\';
            out[n++] = unit == L'\t' ? 't' : unit == L'\r' ? 'r' : 'n';
        } else {
            out[n++] = (char)(unit & 0xFF);
        }
    }
    out[n] = 0;
}

static double wall_clock_ms(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULONGLONG units = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (double)(units - UNIX_EPOCH_IN_FILETIME) / 10000.0;
}

void clipboard_changed(void)
{
    clipboard_wall = wall_clock_ms();
    clipboard_pending = 1;
    clipboard_tick = GetTickCount64();
    clipboard_update();
}

static int passive_report_wanted(const WCHAR *text, ULONGLONG now)
{
    if (!game_process(window_pid(GetClipboardOwner())))
        return 0;
    int repeat = last_fix != 0 && now - last_fix < REPEAT_MS && wcscmp(text, last_text) == 0;
    return !repeat;
}

static int active_report_wanted(HWND front, ULONGLONG now)
{
    return target_check(front) && now <= deadline;
}

static void report(const WCHAR *text, ULONGLONG now)
{
    char escaped[ESCAPED_BYTES];
    wcscpy(last_text, text);
    last_fix = now;
    escape_text(text, escaped);
    int active = stage == 4;
    print_line("{\"text\":\"%s\",\"wall_time\":%.6f,\"latency_ms\":%llu,\"macro_ms\":%llu,\"epoch\":%d}\n", escaped,
               clipboard_wall / 1000.0, active ? clipboard_tick - submitted : 0ull,
               active ? completed - started : 0ull, epoch);
    reset_acquisition();
}

// The tests that drop a pending change for good, before its text is read.
static int change_droppable(ULONGLONG now, HWND *front)
{
    if (now - clipboard_tick > PENDING_MS)
        return 1;
    if (GetClipboardSequenceNumber() == last_sequence || GetClipboardOwner() == window)
        return 1;
    *front = foreground_game();
    if (!enabled || !*front)
        return 1;
    if (stage != 0 && stage != 4)
        return 1;
    return now < passive_after;
}

void clipboard_update(void)
{
    if (!clipboard_pending)
        return;
    ULONGLONG now = GetTickCount64();
    HWND front = NULL;
    if (change_droppable(now, &front)) {
        clipboard_pending = 0;
        return;
    }
    WCHAR text[TEXT_UNITS];
    if (!read_coordinates(text))
        return;
    clipboard_pending = 0;
    last_sequence = GetClipboardSequenceNumber();
    int wanted = stage == 0 ? passive_report_wanted(text, now) : active_report_wanted(front, now);
    if (wanted)
        report(text, now);
}
