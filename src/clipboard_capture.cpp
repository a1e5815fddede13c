// Clipboard: the game's coordinates texts, read from the clipboard and reported.
//
// Main thread only. WM_CLIPBOARDUPDATE time-stamps a change and notes who wrote it (the owner then,
// and the clipboard's sequence number); clipboard_update examines it then (a Windows program's copy
// under Wine's X11 driver, IMPORT_SETTLE_MS later) and, while its text cannot be read yet, on the
// following ticks for up to 100 ms, and reports a valid "Coordinates:" text as a text line.
//
// A change whose text was read is not read again: each opening is a moment when an import by Wine's
// X bridge may fail (see clipboard_open_to_read).
//
// Passively, only the game's own copy is reported. A program between Wine and the desktop's
// clipboard (gamescope, a clipboard persister or manager) takes each copy over and serves it again,
// and Wine imports that under its X clipboard bridge, a few ms to a few hundred ms later, now and
// then twice (gamescope). Such an import counts as the game's when the changes since a write by the
// game that we could not read before it was replaced are all imports, within RESERVE_MS of that
// write: a program that copies a coordinates text of its own makes its own change, which follows no
// write of the game. Who wrote a
// change is noted when its notice comes, before the text is read, since the intermediary may
// replace the game's write while our read waits for a clipboard held open (by Wine's X bridge,
// serving that very intermediary).

#include "clipboard.h"

#include <string.h>
#include <wchar.h>

#include "game_watch.h"
#include "host_protocol.h"
#include "wine_bridge.h"
#include "x_clipboard.h"

#define PREFIX_UNITS 12
#define ESCAPED_BYTES 8192
#define UNIX_EPOCH_IN_FILETIME 116444736000000000ull

static const WCHAR coordinates_prefix[] = L"Coordinates:";

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

int read_coordinates(WCHAR *text, int *text_read)
{
    *text_read = 0;
    if (!clipboard_open_to_read(window))
        return 0;
    HANDLE data = clipboard_data(CF_UNICODETEXT);
    *text_read = data != NULL;
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

static int writer_of(HWND owner)
{
    if (!owner || owner == window)
        return WRITER_OTHER;
    if (x_import(owner))
        return WRITER_X_IMPORT;
    return game_process(window_pid(owner)) ? WRITER_GAME : WRITER_OTHER;
}

void clipboard_changed(void)
{
    // A notice of the state already noted (the step of one of our own renders) is no change.
    if (clipboard_sequence() == change_sequence)
        return;
    // The change before this one, unread, began or went on a serve of the game's write; a read
    // one, or another program's, ends it.
    int previous_read = change_sequence == last_sequence;
    if (previous_read || (change_writer != WRITER_GAME && change_writer != WRITER_X_IMPORT)) {
        serving_game = 0;
    } else if (change_writer == WRITER_GAME) {
        serving_game = 1;
        game_write_tick = clipboard_tick;
    }
    clipboard_wall = wall_clock_ms();
    clipboard_pending = 1;
    clipboard_tick = GetTickCount64();
    change_sequence = clipboard_sequence();
    // A change already examined (what the clipboard held at start, say) is dropped unread.
    change_writer = change_sequence == last_sequence ? WRITER_OTHER : writer_of(GetClipboardOwner());
    clipboard_update();
}

// The change was the game's: written by its process, or its write served again through X. A write
// of the game that was read already needs no serve: what comes through X after it is the same text
// again, or an older one that the intermediary serves late.
static int written_by_game(void)
{
    if (change_writer == WRITER_GAME)
        return 1;
    return change_writer == WRITER_X_IMPORT && serving_game && clipboard_tick - game_write_tick <= RESERVE_MS;
}

static int passive_report_wanted(const WCHAR *text, ULONGLONG now)
{
    if (!written_by_game())
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
    if (clipboard_sequence() == last_sequence || GetClipboardOwner() == window)
        return 1;
    *front = foreground_game();
    if (!enabled || !*front)
        return 1;
    if (stage != 0 && stage != 4)
        return 1;
    return now < passive_after;
}

// A Windows program's copy (the game's) is read IMPORT_SETTLE_MS after its notice where Wine's X
// bridge runs. A program between Wine and the desktop takes such a copy over at once, and Wine's X
// bridge imports it a few ms later. Our read opens under that bridge's window (see
// clipboard_open_to_read), and an opening in the instant between the bridge's own opening and its
// emptying takes the clipboard from it: its import then wipes the copy's data instead of replacing
// it (seen under gamescope: the game's copy lost on Windows' side). By then the import is mostly made.
static int import_may_follow(ULONGLONG now)
{
    return change_writer != WRITER_X_IMPORT && now - clipboard_tick < IMPORT_SETTLE_MS && x_bridge_runs();
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
    if (import_may_follow(now))
        return;
    WCHAR text[TEXT_UNITS];
    int text_read;
    int found = read_coordinates(text, &text_read);
    if (!text_read)
        return;
    // A newer change than the one noted has come: its own notice says who wrote it.
    if (stage == 0 && clipboard_sequence() != change_sequence)
        return;
    clipboard_pending = 0;
    last_sequence = clipboard_sequence();
    if (!found)
        return;
    int wanted = stage == 0 ? passive_report_wanted(text, now) : active_report_wanted(front, now);
    if (wanted)
        report(text, now);
}
