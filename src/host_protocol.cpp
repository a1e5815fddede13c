// The host's side of the bridge: standard input in, one JSON object per line out.
//
// The reader thread blocks on standard input. It keeps focus reports to itself (game_watch stores
// them) and hands every other line to the main thread as a heap copy posted with WM_HOST_LINE; at
// the end of input, or when a line cannot be handed over, it posts WM_CLOSE. The main thread parses
// the line in dispatch_command and frees it. Bad commands are dropped without a word: the host
// never gets an acknowledgement or a complaint.
//
// Every output line leaves in one write: msvcrt writes an unbuffered stream byte by byte through
// printf, so a line is formatted first and written whole.

#include "host_protocol.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "acquisition.h"
#include "clipboard.h"
#include "game_watch.h"
#include "keyboard.h"
#include "wine_bridge.h"

// Longest line: a text line with 8190 escaped bytes plus its fields.
#define OUTPUT_BYTES 8448

// The runtime's text mode would also drop the CR of CR LF, but it takes a Ctrl+Z byte for the end
// of input: one stray byte from the host would shut the bridge down. Input is read in binary mode
// and the CR is dropped here.
static void drop_carriage_return(char *line)
{
    size_t length = strlen(line);
    if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
        line[length - 2] = '\n';
        line[length - 1] = 0;
    }
}

DWORD WINAPI reader(LPVOID)
{
    char buffer[LINE_BYTES];
    int focused;
    _setmode(_fileno(stdin), _O_BINARY);
    while (fgets(buffer, sizeof buffer, stdin)) {
        drop_carriage_return(buffer);
        if (scan_command(buffer, "focus", &focused, 1)) {
            take_focus_report(focused);
            continue;
        }
        char *copy = _strdup(buffer);
        if (!copy)
            break;
        if (!PostMessageW(window, WM_HOST_LINE, 0, (LPARAM)copy)) {
            free(copy);
            break;
        }
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

// Reads like sscanf's "word %d %d ..." but drops a number that overflows 32 bits instead of
// converting it in some undefined way.
int scan_command(const char *line, const char *word, int *numbers, int count)
{
    size_t length = strlen(word);
    if (strncmp(line, word, length) != 0)
        return 0;
    const char *cursor = line + length;
    for (int i = 0; i < count; i++) {
        char *end;
        errno = 0;
        long long value = strtoll(cursor, &end, 10);
        if (end == cursor || errno == ERANGE || value < INT_MIN || value > INT_MAX)
            return 0;
        numbers[i] = (int)value;
        cursor = end;
    }
    return 1;
}

static int delay_in_range(int delay)
{
    return (unsigned)delay - 10u <= 490u;
}

static int bind_in_range(const int *numbers)
{
    return (unsigned)numbers[0] <= 3 && (unsigned)numbers[1] <= 15 && (unsigned)numbers[2] <= 255;
}

static void take_context(int new_epoch, int new_enabled, int delay)
{
    if (stage != 0)
        start_cool_down(GetTickCount64());
    reset_acquisition();
    epoch = new_epoch;
    enabled = new_enabled != 0;
    delay_ms = delay;
}

void dispatch_command(char *line)
{
    int numbers[3];
    if (scan_command(line, "context", numbers, 3) && delay_in_range(numbers[2]))
        take_context(numbers[0], numbers[1], numbers[2]);
    else if (scan_command(line, "bind", numbers, 3) && bind_in_range(numbers))
        bind_hotkey(numbers[0], numbers[1], numbers[2]);
    else if (scan_command(line, "selection", numbers, 1) && (unsigned)numbers[0] <= 1)
        take_selection_report(numbers[0]);
    else if (strncmp(line, "trigger", 7) == 0)
        trigger();
    else if (strncmp(line, "cancel", 6) == 0)
        cancel();
    free(line);
}

void print_line(const char *format, ...)
{
    char line[OUTPUT_BYTES];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    if (length >= (int)sizeof line)
        length = sizeof line - 1;
    fwrite(line, 1, length, stdout);
    fflush(stdout);
}
