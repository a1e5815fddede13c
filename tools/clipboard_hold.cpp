// The clipboard tool's hold: "hold <ms> [after <ms>] [read]" opens the clipboard under the tool's
// window, after the delay if one is given, keeps it open for ms and closes it. Two lines tell a test
// both moments: "held seq=<n>" once the clipboard is open and "released seq=<n>" once it is closed,
// each stamped with its time. With "read", the holder also reads CF_TEXT while it holds the
// clipboard, as Wine's X clipboard bridge does when a Linux program pastes; the text that the bridge
// writes is CF_UNICODETEXT, so CF_TEXT is one that Wine synthesizes on that read. The held line then
// says "held seq=<before the read> read=<bytes or -> seq_after_read=<n>", which shows whether a mere
// read changes the sequence number.
//
// The waits are window timers, so that the tool's message loop keeps running during the hold (a
// holder whose thread stalls would also stall the clipboard's owner's users). Main thread only.

#include "clipboard_hold.h"

#include <stdio.h>
#include <string.h>

#include "tool_support.h"

#define HOLD_START_TIMER 41
#define HOLD_END_TIMER 42
#define HOLD_LIMIT_MS 600000

static unsigned hold_ms;   // length of the hold asked for
static int hold_reads;     // 1: read CF_TEXT once the clipboard is open
static int hold_state;     // 0 idle, 1 waiting for its start, 2 holding

// Parses "<ms> [after <ms>] [read]"; 1 on success.
static int parse_hold(const char *cursor, unsigned *ms, unsigned *after, int *reads)
{
    unsigned long long value;
    *after = 0;
    *reads = 0;
    if (!parse_number(cursor, &value, &cursor) || value == 0 || value > HOLD_LIMIT_MS)
        return 0;
    *ms = (unsigned)value;
    if (strncmp(cursor, " after ", 7) == 0) {
        if (!parse_number(cursor + 7, &value, &cursor) || value > HOLD_LIMIT_MS)
            return 0;
        *after = (unsigned)value;
    }
    if (strcmp(cursor, " read") == 0) {
        *reads = 1;
        cursor += 5;
    }
    return *cursor == 0;
}

// The size of the CF_TEXT block read while holding, -1 when there is none; the clipboard is open.
static long long read_synthesized_text(void)
{
    HANDLE data = GetClipboardData(CF_TEXT);
    const void *bytes = data ? GlobalLock(data) : NULL;
    if (!bytes)
        return -1;
    long long size = (long long)GlobalSize(data);
    GlobalUnlock(data);
    return size;
}

static void start_hold(HWND window)
{
    hold_state = 0;
    if (!open_clipboard(window)) {
        log_line("error clipboard busy");
        return;
    }
    DWORD before = GetClipboardSequenceNumber();
    if (hold_reads) {
        long long size = read_synthesized_text();
        DWORD after = GetClipboardSequenceNumber();
        if (size < 0)
            log_line("held seq=%lu read=- seq_after_read=%lu", before, after);
        else
            log_line("held seq=%lu read=%lld seq_after_read=%lu", before, size, after);
    } else {
        log_line("held seq=%lu", before);
    }
    if (!SetTimer(window, HOLD_END_TIMER, hold_ms, NULL)) {
        CloseClipboard();
        log_line("error no timer");
        return;
    }
    hold_state = 2;
}

static void end_hold(HWND window)
{
    KillTimer(window, HOLD_END_TIMER);
    CloseClipboard();
    hold_state = 0;
    log_line("released seq=%lu", GetClipboardSequenceNumber());
}

void command_hold(HWND window, const char *rest)
{
    unsigned ms, after;
    int reads;
    if (hold_state) {
        log_line("error a hold is under way");
        return;
    }
    if (!parse_hold(rest, &ms, &after, &reads)) {
        log_line("error usage: hold <ms 1..600000> [after <ms 0..600000>] [read]");
        return;
    }
    hold_ms = ms;
    hold_reads = reads;
    if (!after) {
        start_hold(window);
        return;
    }
    if (!SetTimer(window, HOLD_START_TIMER, after, NULL)) {
        log_line("error no timer");
        return;
    }
    hold_state = 1;
}

int hold_message(HWND window, UINT message, WPARAM wparam, LPARAM)
{
    if (message != WM_TIMER || (wparam != HOLD_START_TIMER && wparam != HOLD_END_TIMER))
        return 0;
    if (wparam == HOLD_START_TIMER) {
        KillTimer(window, HOLD_START_TIMER);
        if (hold_state == 1)
            start_hold(window);
    } else if (hold_state == 2) {
        end_hold(window);
    }
    return 1;
}
