// floor_probe.exe <mode>: the platform's share of the bridge's work, done by the least program that can
// do it, so that bench.py can divide the bridge's figures by what Wine itself costs.
//
//   idle    a message-only window with the bridge's 5 ms timer and clipboard listener, and a reader
//           thread blocked on stdin that takes "focus %d" lines as the bridge does. A tick reads the
//           clock and nothing else; clipboard changes are ignored. At the end of input it prints the
//           timer's tick count and their span, the measured timer period.
//   listen  a message-only clipboard listener: on each change it stamps the wall-clock time, reads
//           the Unicode text and prints both on one line. No checks, no timer.
//   loan    on each "loan [<ms>]" line, saves every clipboard format with the bridge's calls, puts a
//           short text in their place, then (at once, or after ms of the message loop) puts them all
//           back and frees the copies; prints the two durations (open to close, and the restore
//           with the freeing).
//
// Main thread: the window procedure. Reader thread: stdin, like the bridge's (binary mode, 255-byte
// reads, focus reports kept, other lines posted as WM_PROBE_LINE). Every line is written whole.

#include <windows.h>

#include <atomic>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WM_PROBE_LINE (WM_APP + 1)
#define TIMER_PERIOD_MS 5
#define TEXT_UNITS 4096
#define LOAN_FORMATS 64
#define OPEN_TRIES 50
#define LOAN_TIMER_ID 2
#define UNIX_EPOCH_IN_FILETIME 116444736000000000ull

enum mode { MODE_IDLE, MODE_LISTEN, MODE_LOAN };

struct loan_entry {
    UINT format;
    SIZE_T size;
    void *data;
};

static const WCHAR class_name[] = L"BridgeFloorProbe";
static const WCHAR loan_text[] = L"/showlocation";

static HWND window;
static int probe_mode;
static std::atomic<int> host_focus;           // what the bridge keeps of a focus report
static std::atomic<ULONGLONG> focus_at;
static ULONGLONG timer_ticks;                 // WM_TIMER count, idle mode
static double first_tick_ms, last_tick_ms;    // QueryPerformanceCounter of the first and last tick
static loan_entry loan[LOAN_FORMATS];
static int loan_count;
static double loan_started_ms, loan_saved_ms;  // the save's start and end, QueryPerformanceCounter
static int loan_held;                          // saved, not yet given back

static double now_ms(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void print_line(const char *format, ...)
{
    char line[TEXT_UNITS + 256];
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

static DWORD WINAPI reader(LPVOID)
{
    char buffer[256];
    int focused;
    _setmode(_fileno(stdin), _O_BINARY);
    while (fgets(buffer, sizeof buffer, stdin)) {
        if (sscanf(buffer, "focus %d", &focused) == 1) {
            focus_at.store(GetTickCount64(), std::memory_order_relaxed);
            host_focus.exchange(focused != 0, std::memory_order_acq_rel);
            continue;
        }
        char *copy = _strdup(buffer);
        if (!copy || !PostMessageW(window, WM_PROBE_LINE, 0, (LPARAM)copy)) {
            free(copy);
            break;
        }
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

static void timer_tick(void)
{
    (void)GetTickCount64();  // all that the bridge's idle tick does
    last_tick_ms = now_ms();
    if (timer_ticks++ == 0)
        first_tick_ms = last_tick_ms;
}

static double wall_clock_ms(void)
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULONGLONG units = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (double)(units - UNIX_EPOCH_IN_FILETIME) / 10000.0;
}

// Another process (Wine's X selection sync among them) may hold the clipboard for a few ms.
static int open_clipboard(void)
{
    for (int attempt = 0; attempt < OPEN_TRIES; attempt++) {
        if (attempt)
            Sleep(1);
        if (OpenClipboard(window))
            return 1;
    }
    return 0;
}

// The text as printable ASCII, whatever else it holds; the clipboard is open.
static void read_text(char *out)
{
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    SIZE_T units = data ? GlobalSize(data) / sizeof(WCHAR) : 0;
    const WCHAR *text = units ? (const WCHAR *)GlobalLock(data) : NULL;
    SIZE_T n = 0;
    for (; text && n < units && n < TEXT_UNITS - 1 && text[n]; n++)
        out[n] = text[n] >= 0x20 && text[n] < 0x7F && text[n] != '"' && text[n] != '\\' ? (char)text[n] : '?';
    out[n] = 0;
    if (text)
        GlobalUnlock(data);
}

static void clipboard_changed(void)
{
    char text[TEXT_UNITS];
    double wall = wall_clock_ms();
    if (!open_clipboard()) {
        print_line("{\"text\":null,\"wall_time\":%.6f}\n", wall / 1000.0);
        return;
    }
    read_text(text);
    CloseClipboard();
    print_line("{\"text\":\"%s\",\"wall_time\":%.6f}\n", text, wall / 1000.0);
}

static HGLOBAL global_copy(const void *bytes, SIZE_T size)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    void *target = block ? GlobalLock(block) : NULL;
    if (!target) {
        if (block)
            GlobalFree(block);
        return NULL;
    }
    memcpy(target, bytes, size);
    GlobalUnlock(block);
    return block;
}

static int save_entry(UINT format)
{
    HANDLE data = GetClipboardData(format);
    SIZE_T size = data ? GlobalSize(data) : 0;
    void *source = size && loan_count < LOAN_FORMATS ? GlobalLock(data) : NULL;
    if (!source)
        return 0;
    void *copy = HeapAlloc(GetProcessHeap(), 0, size);
    if (copy)
        memcpy(copy, source, size);
    GlobalUnlock(data);
    if (!copy)
        return 0;
    loan[loan_count].format = format;
    loan[loan_count].size = size;
    loan[loan_count].data = copy;
    loan_count++;
    return 1;
}

// Every format copied aside, then the short text alone on the clipboard; the clipboard is open.
static void give_back(int saved);

static int save_and_replace(void)
{
    for (UINT format = EnumClipboardFormats(0); format; format = EnumClipboardFormats(format))
        if (!save_entry(format))
            return 0;
    HGLOBAL block = global_copy(loan_text, sizeof loan_text);
    if (block && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, block))
        return 1;
    if (block)
        GlobalFree(block);
    return 0;
}

static void put_back(void)
{
    EmptyClipboard();
    for (int i = 0; i < loan_count; i++) {
        HGLOBAL block = global_copy(loan[i].data, loan[i].size);
        if (block && !SetClipboardData(loan[i].format, block))
            GlobalFree(block);
    }
}

static SIZE_T release_loan(void)
{
    SIZE_T bytes = 0;
    for (int i = 0; i < loan_count; i++) {
        bytes += loan[i].size;
        HeapFree(GetProcessHeap(), 0, loan[i].data);
    }
    loan_count = 0;
    return bytes;
}

// Saves and replaces; the restore follows at once, or after hold_ms of the message loop, as the
// bridge's restore follows its save by the length of the acquisition.
static void lend_clipboard(int hold_ms)
{
    loan_held = 1;
    loan_started_ms = now_ms();
    int saved = OpenClipboard(window);
    if (saved) {
        saved = save_and_replace();
        CloseClipboard();
    }
    loan_saved_ms = now_ms();
    if (!saved || hold_ms <= 0)
        give_back(saved);
    else
        SetTimer(window, LOAN_TIMER_ID, (UINT)hold_ms, NULL);
}

static void give_back(int saved)
{
    KillTimer(window, LOAN_TIMER_ID);
    double t0 = now_ms();
    int restored = saved && OpenClipboard(window);
    if (restored) {
        put_back();
        CloseClipboard();
    }
    int formats = loan_count;
    SIZE_T bytes = release_loan();  // the bridge's restore frees its copies too
    double t1 = now_ms();
    loan_held = 0;
    print_line("{\"loan\":%s,\"formats\":%d,\"bytes\":%llu,\"save_ms\":%.3f,\"restore_ms\":%.3f}\n",
               restored ? "true" : "false", formats, (unsigned long long)bytes, loan_saved_ms - loan_started_ms,
               t1 - t0);
}

// "loan [<hold ms>]"; one loan at a time.
static void host_line(char *line)
{
    int hold_ms = 0;
    if (probe_mode == MODE_LOAN && strncmp(line, "loan", 4) == 0 && !loan_held) {
        sscanf(line + 4, "%d", &hold_ms);
        lend_clipboard(hold_ms);
    }
    free(line);
}

static void timer_fired(WPARAM id)
{
    if (id == LOAN_TIMER_ID)
        give_back(1);
    else
        timer_tick();
}

static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_TIMER: timer_fired(wparam); return 0;
    case WM_CLIPBOARDUPDATE: if (probe_mode == MODE_LISTEN) clipboard_changed(); return 0;
    case WM_PROBE_LINE: host_line((char *)lparam); return 0;
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

static int parse_mode(const char *argument)
{
    static const char *const names[] = {"idle", "listen", "loan"};
    for (int i = 0; i < 3; i++)
        if (strcmp(argument, names[i]) == 0)
            return i;
    return -1;
}

static int start(HINSTANCE instance)
{
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = class_name;
    if (!RegisterClassW(&window_class))
        return 0;
    window = CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, instance, NULL);
    if (!window)
        return 0;
    if (probe_mode != MODE_LOAN && !AddClipboardFormatListener(window))
        return 0;
    if (probe_mode == MODE_IDLE)
        SetTimer(window, 1, TIMER_PERIOD_MS, NULL);
    HANDLE thread = CreateThread(NULL, 0, reader, NULL, 0, NULL);
    if (!thread)
        return 0;
    CloseHandle(thread);
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    probe_mode = __argc == 2 ? parse_mode(__argv[1]) : -1;
    if (probe_mode < 0) {
        fprintf(stderr, "usage: floor_probe.exe idle|listen|loan\n");
        return 2;
    }
    if (!start(instance)) {
        fprintf(stderr, "floor_probe: start-up failed (error %lu)\n", GetLastError());
        return 1;
    }
    print_line("{\"probe_ready\":true}\n");
    MSG message;
    while ((int)GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (probe_mode == MODE_IDLE)
        print_line("{\"timer_ticks\":%llu,\"timer_span_ms\":%.3f}\n", timer_ticks, last_tick_ms - first_tick_ms);
    return 0;
}
