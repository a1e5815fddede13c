// What the test tools share: the stdin reader thread, timed log lines on stdout, text escapes,
// the visible window, the foreground and the clipboard.
#pragma once

#include <windows.h>

#define WM_TOOL_LINE (WM_APP + 1)  // lParam: a heap line without its line end; wParam 1 if it was cut
#define TOOL_TEXT_UNITS 16384      // longest text a command may carry, terminator included

// One command word and what it does with the rest of the line ("" when there is none).
struct tool_command {
    const char *word;
    void (*run)(HWND window, const char *rest);
};

// Milliseconds of QueryPerformanceCounter, which Wine shares with Linux's CLOCK_MONOTONIC_RAW.
double now_ms(void);
// Writes one line, the given text then a blank and the time now, in a single write, flushed.
#ifdef __MINGW32__
__attribute__((format(gnu_printf, 1, 2)))
#endif
void log_line(const char *format, ...);
// The same, stamped with the time t instead of now.
#ifdef __MINGW32__
__attribute__((format(gnu_printf, 2, 3)))
#endif
void log_line_at(double t, const char *format, ...);

// What makes one tool: its window's name (class and title) and place, whether it takes the
// foreground at start, its commands, and the window messages of its own (NULL for none), a handler
// that returns 1 when it took the message.
struct tool {
    const WCHAR *name;
    int x;
    int take_front;
    const tool_command *commands;
    int command_count;
    int (*own_message)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
};

// Runs a tool: its visible window, the stdin reader, the ready line "ready hwnd=<n> pid=<n>
// front=<0|1>", then the message loop until the end of its input. Returns the exit code.
int run_tool(HINSTANCE instance, const tool *description);

// UTF-8 with the escapes \\ \r \n \t \uXXXX into UTF-16 with a terminator; the unit count, or -1.
int decode_text(const char *in, WCHAR *out, int capacity);
// UTF-16 into printable ASCII, escaping backslash, control characters and everything beyond ASCII.
// Returns a heap string that the caller frees, or NULL.
char *encode_text(const WCHAR *in, int units);
// Parses a whole decimal number of 64 bits at most; 1 on success, with *end after it.
int parse_number(const char *text, unsigned long long *value, const char **end);

// SetForegroundWindow, then 1 if window really is the foreground window.
int take_foreground(HWND window);
// OpenClipboard, retried for half a second while another process holds it.
int open_clipboard(HWND window);
// Puts text on the clipboard as CF_UNICODETEXT from window, in a block of block_bytes bytes
// (0: just the text and its terminator). Returns the new sequence number, 0 on failure.
DWORD copy_text(HWND window, const WCHAR *text, int units, SIZE_T block_bytes);
// Reads the clipboard's CF_UNICODETEXT into out (capacity units, always terminated).
// 1 if there was one, 0 if none, -1 if the clipboard could not be opened.
int read_text(HWND window, WCHAR *out, int capacity);

// Commands that both tools take: front, copy, copy-sized, read, quit.
void command_front(HWND window, const char *rest);
void command_copy(HWND window, const char *rest);
void command_copy_sized(HWND window, const char *rest);
void command_read(HWND window, const char *rest);
void command_quit(HWND window, const char *rest);
