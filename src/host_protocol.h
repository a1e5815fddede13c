// The line protocol with the host: the reader thread, the command dispatch and every output line.
#pragma once

#include <windows.h>

#define WM_HOST_LINE (WM_APP + 1)
#define LINE_BYTES 256

// Reader thread: focus reports are taken in here, every other line is posted to window.
DWORD WINAPI reader(LPVOID unused);
// 1 when line starts with word followed by count decimal numbers that each fit in 32 bits.
int scan_command(const char *line, const char *word, int *numbers, int count);
// Acts on one posted host line, then frees it.
void dispatch_command(char *line);
// Formats one output line and writes it with a single write, then flushes.
#ifdef __MINGW32__
__attribute__((format(gnu_printf, 1, 2)))
#else
__attribute__((format(printf, 1, 2)))
#endif
void print_line(const char *format, ...);
