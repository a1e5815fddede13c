// Test control of our Win32 double: one fake world that the Win32 calls of windows.h act on.
//
// A test sets the world up (clock, foreground window, processes, clipboard, keys, failures), calls
// the bridge, and compares what the world recorded with expected tables. double_reset() puts the
// whole world back; the bridge's own state is reset with reset_bridge_state(). Single-threaded:
// CreateThread runs its thread to the end at once when run_threads is set, else not at all.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

// Fixed handles of the world.
#define BRIDGE_WINDOW ((HWND)0xB00)
#define BRIDGE_INSTANCE ((HINSTANCE)0x400000)

// Fails the calls whose ordinals (1-based, counted from the last reset) are listed, or every call
// from ordinal `from` on.
struct failer {
    std::set<int> at;
    int from = 0;
    int calls = 0;
    void fail_next(int count = 1);  // the next count calls fail
};

struct global_block {
    unsigned char *bytes;  // exactly size bytes of the C heap, so a sanitizer sees overreads
    SIZE_T size;
    int locks;
    bool freed, on_clipboard;
};

struct clip_entry {
    UINT format;
    HGLOBAL data;                // none: the format is listed but yields no data
    ULONGLONG renders_from = 0;  // before this tick it yields no data (a slow owner)
    ULONGLONG render_ms = 0;     // a render asked of the owner (WM_RENDERFORMAT) takes this long
};

struct key_sent {
    DWORD type;
    WORD vk, scan;
    DWORD flags, time;
    ULONG_PTR extra;
    ULONGLONG tick;  // clock reading when it was sent
};

struct world {
    std::vector<std::string> calls;  // every call received, as "Name arg arg"
    bool log_calls = true;           // off: calls stays empty (the fuzz targets, which never read it)

    ULONGLONG tick = 0;                         // GetTickCount64
    ULONGLONG filetime = 0;                     // GetSystemTimePreciseAsFileTime
    std::vector<DWORD> sleeps;                  // Sleep advances tick and is recorded here
    std::function<void(DWORD)> on_sleep;        // runs after the clock moved, inside Sleep
    DWORD last_error = 0;

    HWND foreground = NULL;
    int foreground_queries = 0;
    std::map<HWND, DWORD> window_pids;
    std::map<DWORD, std::u16string> images;     // pid -> image path
    std::map<HWND, std::u16string> window_classes;  // GetClassNameW
    std::map<UINT, std::u16string> format_names;    // GetClipboardFormatNameW
    std::set<DWORD> unopenable, unqueryable;
    int process_handles_open = 0;

    std::vector<clip_entry> clipboard;          // formats in enumeration order
    HWND clipboard_owner = NULL, clipboard_opener = NULL;
    bool clipboard_open = false;
    DWORD sequence = 1;
    ULONGLONG owner_deaf_until = 0;             // the owner answers no sent message before this tick
    std::set<UINT> refused_formats;             // SetClipboardData refuses these
    std::function<void()> before_open;          // another program acts right before OpenClipboard
    ULONGLONG clipboard_held_until = 0;         // another program holds the clipboard open before this tick
    failer open_clipboard, empty_clipboard;
    std::vector<global_block> blocks;           // handle = index + 1
    failer global_alloc, global_lock;
    std::map<void *, SIZE_T> heap;              // HeapAlloc blocks still allocated
    failer heap_alloc;
    int misuses = 0;                            // clipboard used while closed, double frees, ...

    std::map<int, SHORT> key_state;             // GetAsyncKeyState; (SHORT)0x8000 is down
    std::vector<int> key_queries;
    std::map<UINT, UINT> scan_codes = {{VK_RETURN, 28}, {VK_CONTROL, 29}, {'V', 47}};  // MapVirtualKeyW
    std::vector<key_sent> keys_sent;
    failer send_input;

    failer register_hotkey;
    DWORD hotkey_error = ERROR_HOTKEY_ALREADY_REGISTERED;

    std::vector<MSG> queue;                     // GetMessageW takes from the front; empty gives -1
    std::vector<MSG> refused_posts;
    int dry_gets = 0;
    failer post_message, register_class, create_window, add_listener, create_thread, set_timer;
    WNDCLASSW window_class = {};
    std::string class_name;
    bool window_alive = false;
    LRESULT default_result = 0;                 // what DefWindowProcW returns (TRUE for WM_NCCREATE)
    bool run_threads = false;
};

extern world w;

void double_reset(void);

// The world seen from outside the bridge.
HGLOBAL make_block(const void *bytes, SIZE_T size);   // bytes none: size bytes of 'u'
HGLOBAL make_text_block(const std::u16string &text);  // with its terminator
void clipboard_write(HWND owner, const std::vector<clip_entry> &entries);  // another program writes
void clipboard_write_text(HWND owner, const std::u16string &text);
std::string block_bytes(HGLOBAL block);
std::string clipboard_bytes(UINT format);             // "" when absent
int blocks_locked(void);
int blocks_orphaned(void);                            // neither freed nor on the clipboard
std::vector<std::string> calls_named(const std::vector<std::string> &names);  // the log, filtered by name

// Standard streams: what the bridge prints, what its reader thread reads.
void capture_begin(void);
void capture_end(void);
std::vector<std::string> printed_lines(void);  // complete lines since capture_begin, without "\n"
std::string printed_text(void);
void feed_stdin(const std::string &text);      // stdin then holds text and ends
bool heap_freed(const void *memory);           // a C heap block has been freed (needs AddressSanitizer)

std::string narrow(const WCHAR *text);         // a 16-bit text in ASCII; other units become '?'
