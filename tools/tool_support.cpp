// Support shared by the test tools (the stand-in game and the clipboard tool).
//
// Each tool is a visible window driven by its standard input: a reader thread reads lines and posts
// each one to the window as WM_TOOL_LINE; the window procedure runs it on the main thread through a
// table of command words and answers with one log line. Only the main thread writes to stdout.
// Every log line ends with a blank and the time in ms of QueryPerformanceCounter, which Wine shares
// with Linux's CLOCK_MONOTONIC_RAW, so a test can compare it with its own clock.
//
// Texts travel escaped both ways (\\ \r \n \t \uXXXX) so that one line always carries one text.

#include "tool_support.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define READ_BYTES 65536
// Longest log line: an escaped text of TOOL_TEXT_UNITS units and its words.
#define LOG_BYTES (TOOL_TEXT_UNITS * 6 + 4096)
// Another process (Wine's X selection sync among them) may hold the clipboard for a few ms.
#define OPEN_TRIES 100
#define OPEN_PAUSE_MS 5

static char log_buffer[LOG_BYTES];  // main thread only

double now_ms(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void write_line(double t, const char *format, va_list arguments)
{
    int length = vsnprintf(log_buffer, LOG_BYTES - 64, format, arguments);
    if (length < 0)
        return;
    if (length > LOG_BYTES - 65)
        length = LOG_BYTES - 65;
    length += snprintf(log_buffer + length, 64, " %.3f\n", t);
    // One write per line: msvcrt would otherwise hand the pipe a line in pieces.
    fwrite(log_buffer, 1, length, stdout);
    fflush(stdout);
}

void log_line(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_line(now_ms(), format, arguments);
    va_end(arguments);
}

void log_line_at(double t, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_line(t, format, arguments);
    va_end(arguments);
}

static const tool *running;  // the tool of this process, set once before its window exists

static LRESULT CALLBACK tool_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The visible top-level window of the tool, activated or not; NULL on failure.
static HWND create_tool_window(HINSTANCE instance)
{
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = tool_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    window_class.lpszClassName = running->name;
    if (!RegisterClassW(&window_class))
        return NULL;
    HWND window = CreateWindowExW(0, running->name, running->name, WS_OVERLAPPEDWINDOW, running->x, 0, 320, 240, NULL,
                                  NULL, instance, NULL);
    if (window)
        ShowWindow(window, running->take_front ? SW_SHOW : SW_SHOWNOACTIVATE);
    return window;
}

static void strip_line_end(char *line)
{
    size_t length = strlen(line);
    while (length && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        line[--length] = 0;
}

// Posts one line; 0 when it could not be handed over.
static int post_line(HWND window, char *buffer, int cut)
{
    strip_line_end(buffer);
    char *copy = _strdup(buffer);
    if (!copy)
        return 0;
    if (PostMessageW(window, WM_TOOL_LINE, cut, (LPARAM)copy))
        return 1;
    free(copy);
    return 0;
}

static DWORD WINAPI line_reader(LPVOID parameter)
{
    HWND window = (HWND)parameter;
    char *buffer = (char *)malloc(READ_BYTES);
    int skipping = 0;
    while (buffer && fgets(buffer, READ_BYTES, stdin)) {
        int whole = strchr(buffer, '\n') != NULL;
        // The rest of a line that was too long is dropped; its first piece went out marked as cut.
        if (!skipping && !post_line(window, buffer, !whole))
            break;
        skipping = !whole;
    }
    free(buffer);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

// Starts the thread that posts every stdin line to window as WM_TOOL_LINE, then WM_CLOSE at the end.
static int start_line_reader(HWND window)
{
    HANDLE thread = CreateThread(NULL, 0, line_reader, window, 0, NULL);
    if (!thread)
        return 0;
    CloseHandle(thread);
    return 1;
}

static int word_matches(const char *line, const char *word, const char **rest)
{
    size_t length = strlen(word);
    if (strncmp(line, word, length) != 0 || (line[length] != 0 && line[length] != ' '))
        return 0;
    *rest = line[length] ? line + length + 1 : line + length;
    return 1;
}

// Runs the line through the tool's commands; an unknown word gets an error line. Frees the line.
static void run_command(HWND window, WPARAM cut, char *line)
{
    const char *rest;
    int i = 0;
    while (i < running->command_count && !word_matches(line, running->commands[i].word, &rest))
        i++;
    if (cut)
        log_line("error line too long");
    else if (i < running->command_count)
        running->commands[i].run(window, rest);
    else
        log_line("error unknown command");
    free(line);
}

static LRESULT CALLBACK tool_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (running->own_message && running->own_message(window, message, wparam, lparam))
        return 0;
    switch (message) {
    case WM_TOOL_LINE: run_command(window, wparam, (char *)lparam); return 0;
    // Not DestroyWindow: hiding a visible window makes Wine wait 2 s for a window manager that
    // Xvfb lacks. The window goes with the process.
    case WM_CLOSE: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(window, message, wparam, lparam);
    }
}

int run_tool(HINSTANCE instance, const tool *description)
{
    running = description;
    HWND window = create_tool_window(instance);
    if (!window || !start_line_reader(window)) {
        log_line("error start-up failed");
        return 1;
    }
    int front = running->take_front ? take_foreground(window) : GetForegroundWindow() == window;
    log_line("ready hwnd=%llu pid=%lu front=%d", (unsigned long long)(UINT_PTR)window, GetCurrentProcessId(), front);
    MSG message;
    while ((int)GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One escape after a backslash; the count of bytes it took, 0 if it is none.
static int decode_escape(const char *in, WCHAR *unit)
{
    switch (in[0]) {
    case '\\': *unit = L'\\'; return 1;
    case 'r': *unit = L'\r'; return 1;
    case 'n': *unit = L'\n'; return 1;
    case 't': *unit = L'\t'; return 1;
    case 'u': break;
    default: return 0;
    }
    int value = 0;
    for (int i = 1; i <= 4; i++) {
        int digit = hex_digit(in[i]);
        if (digit < 0)
            return 0;
        value = value * 16 + digit;
    }
    *unit = (WCHAR)value;
    return 5;
}

int decode_text(const char *in, WCHAR *out, int capacity)
{
    int units = 0;
    while (*in) {
        size_t plain = strcspn(in, "\\");
        if (plain) {
            int made = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in, (int)plain, out + units,
                                           capacity - 1 - units);
            if (made <= 0)
                return -1;
            units += made;
            in += plain;
            continue;
        }
        int taken = decode_escape(in + 1, out + units);
        if (!taken || units + 1 >= capacity)
            return -1;
        units++;
        in += 1 + taken;
    }
    out[units] = 0;
    return units;
}

char *encode_text(const WCHAR *in, int units)
{
    char *out = (char *)malloc((size_t)units * 6 + 1);
    if (!out)
        return NULL;
    char *cursor = out;
    for (int i = 0; i < units; i++) {
        WCHAR unit = in[i];
        if (unit == L'\\' || unit == L'\r' || unit == L'\n' || unit == L'\t') {
            *cursor++ = '\\';
            *cursor++ = unit == L'\\' ? '\\' : unit == L'\r' ? 'r' : unit == L'\n' ? 'n' : 't';
        } else if (unit >= 0x20 && unit < 0x7F) {
            *cursor++ = (char)unit;
        } else {
            cursor += sprintf(cursor, "\\u%04X", (unsigned)unit);
        }
    }
    *cursor = 0;
    return out;
}

int parse_number(const char *text, unsigned long long *value, const char **end)
{
    unsigned long long result = 0;
    const char *cursor = text;
    while (*cursor >= '0' && *cursor <= '9') {
        unsigned digit = (unsigned)(*cursor - '0');
        if (result > (~0ull - digit) / 10)
            return 0;
        result = result * 10 + digit;
        cursor++;
    }
    if (cursor == text)
        return 0;
    *value = result;
    *end = cursor;
    return 1;
}

int take_foreground(HWND window)
{
    SetForegroundWindow(window);
    return GetForegroundWindow() == window;
}

int open_clipboard(HWND window)
{
    for (int attempt = 0; attempt < OPEN_TRIES; attempt++) {
        if (attempt)
            Sleep(OPEN_PAUSE_MS);
        if (OpenClipboard(window))
            return 1;
    }
    return 0;
}

static HGLOBAL text_block(const WCHAR *text, int units, SIZE_T block_bytes)
{
    SIZE_T text_bytes = (SIZE_T)units * sizeof(WCHAR);
    SIZE_T size = block_bytes ? block_bytes : text_bytes + sizeof(WCHAR);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (!block)
        return NULL;
    void *bytes = GlobalLock(block);
    if (!bytes) {
        GlobalFree(block);
        return NULL;
    }
    memcpy(bytes, text, text_bytes < size ? text_bytes : size);
    GlobalUnlock(block);
    return block;
}

DWORD copy_text(HWND window, const WCHAR *text, int units, SIZE_T block_bytes)
{
    HGLOBAL block = text_block(text, units, block_bytes);
    if (!block)
        return 0;
    if (!open_clipboard(window)) {
        GlobalFree(block);
        return 0;
    }
    int placed = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, block);
    if (!placed)
        GlobalFree(block);
    CloseClipboard();
    return placed ? GetClipboardSequenceNumber() : 0;
}

int read_text(HWND window, WCHAR *out, int capacity)
{
    if (!open_clipboard(window))
        return -1;
    int found = 0;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const WCHAR *text = data ? (const WCHAR *)GlobalLock(data) : NULL;
    if (text) {
        SIZE_T limit = GlobalSize(data) / sizeof(WCHAR);
        int units = 0;
        while (units < capacity - 1 && (SIZE_T)units < limit && text[units])
            units++;
        memcpy(out, text, units * sizeof(WCHAR));
        out[units] = 0;
        GlobalUnlock(data);
        found = 1;
    }
    CloseClipboard();
    return found;
}

void command_front(HWND window, const char *)
{
    log_line("front %d", take_foreground(window));
}

static void copy_and_log(HWND window, const char *escaped, SIZE_T block_bytes)
{
    WCHAR *text = (WCHAR *)malloc(TOOL_TEXT_UNITS * sizeof(WCHAR));
    int units = text ? decode_text(escaped, text, TOOL_TEXT_UNITS) : -1;
    DWORD sequence = units < 0 ? 0 : copy_text(window, text, units, block_bytes);
    if (units < 0)
        log_line("error bad text");
    else if (!sequence)
        log_line("error clipboard refused the text");
    else
        log_line("copied %lu", sequence);
    free(text);
}

void command_copy(HWND window, const char *rest)
{
    copy_and_log(window, rest, 0);
}

void command_copy_sized(HWND window, const char *rest)
{
    unsigned long long bytes;
    const char *end;
    if (!parse_number(rest, &bytes, &end) || bytes == 0 || bytes > 1u << 20 || (*end != ' ' && *end != 0)) {
        log_line("error usage: copy-sized <bytes 1..1048576> <text>");
        return;
    }
    copy_and_log(window, *end ? end + 1 : end, (SIZE_T)bytes);
}

void command_read(HWND window, const char *)
{
    WCHAR *text = (WCHAR *)malloc(TOOL_TEXT_UNITS * sizeof(WCHAR));
    int found = text ? read_text(window, text, TOOL_TEXT_UNITS) : -1;
    char *escaped = found == 1 ? encode_text(text, (int)wcslen(text)) : NULL;
    if (found < 0)
        log_line("error clipboard busy");
    else if (!found)
        log_line("read none");
    else if (escaped)
        log_line("read text %s", escaped);
    else
        log_line("error no memory");
    free(escaped);
    free(text);
}

// Ends like the end of input (see the tools' WM_CLOSE).
void command_quit(HWND, const char *)
{
    log_line("bye");
    PostQuitMessage(0);
}
