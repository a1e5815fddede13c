// Our Win32 double: the calls of windows.h acting on one fake world (win32_double.h).
//
// It behaves like Win32 where the bridge depends on it: the clipboard must be open to be used, by
// one opener at a time; EmptyClipboard makes the opener the owner; SetClipboardData takes the block;
// a window procedure must accept WM_NCCREATE; GetWindowThreadProcessId leaves the pid alone for an
// unknown window. A misuse is counted in w.misuses instead of crashing. Global blocks and heap
// blocks are C heap blocks of their exact size, so that AddressSanitizer sees any overread.

#include "win32_double.h"

#include <algorithm>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#define THREAD_HANDLE ((HANDLE)0x7E00)
#define PROCESS_HANDLES 0x100000ull
#define PROCESS_HEAP ((HANDLE)0x4EA9)

world w;

static void note(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void note(const char *format, ...)
{
    if (!w.log_calls)
        return;
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    w.calls.push_back(line);
}

static unsigned long long number(const void *handle) { return (unsigned long long)(uintptr_t)handle; }

void failer::fail_next(int count)
{
    for (int i = 1; i <= count; i++)
        at.insert(calls + i);
}

static bool fails(failer &f)
{
    f.calls++;
    return f.at.count(f.calls) || (f.from && f.calls >= f.from);
}

void double_reset(void)
{
    for (global_block &block : w.blocks)
        free(block.bytes);
    for (auto &allocation : w.heap)
        free(allocation.first);
    w = world();
}

// ---- time, threads, processes

ULONGLONG GetTickCount64(void) { return w.tick; }
DWORD GetLastError(void) { return w.last_error; }

void GetSystemTimePreciseAsFileTime(LPFILETIME time)
{
    time->dwLowDateTime = (DWORD)(w.filetime & 0xFFFFFFFFu);
    time->dwHighDateTime = (DWORD)(w.filetime >> 32);
}

void Sleep(DWORD milliseconds)
{
    note("Sleep %lu", milliseconds);
    w.sleeps.push_back(milliseconds);
    w.tick += milliseconds;
    if (w.on_sleep)
        w.on_sleep(milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD thread_id)
{
    note("CreateThread %llx %zu %llx %lu %llx", number(security), stack, number(parameter), flags, number(thread_id));
    if (fails(w.create_thread))
        return NULL;
    if (w.run_threads)
        start(parameter);
    return THREAD_HANDLE;
}

BOOL CloseHandle(HANDLE handle)
{
    note("CloseHandle %llx", number(handle));
    w.process_handles_open -= number(handle) >= PROCESS_HANDLES;
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid)
{
    note("OpenProcess %#lx %d %lu", access, inherit, pid);
    if (!w.images.count(pid) || w.unopenable.count(pid))
        return w.last_error = 5, nullptr;
    w.process_handles_open++;
    return (HANDLE)(uintptr_t)(PROCESS_HANDLES + pid);
}

BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR path, PDWORD size)
{
    note("QueryFullProcessImageNameW %lu %lu", flags, *size);
    DWORD pid = (DWORD)(number(process) - PROCESS_HANDLES);
    const std::u16string &image = w.images[pid];
    if (w.unqueryable.count(pid) || image.size() + 1 > *size)
        return w.last_error = 122, FALSE;
    memcpy(path, image.c_str(), (image.size() + 1) * sizeof(WCHAR));
    *size = image.size();
    return TRUE;
}

HWND GetForegroundWindow(void) { return w.foreground_queries++, w.foreground; }

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD pid)
{
    auto found = w.window_pids.find(hwnd);
    if (found == w.window_pids.end())
        return 0;
    *pid = found->second;
    return 1;
}

// Copies a name as Win32 does: cut to size - 1 units and terminated; 0 for none.
template <typename key_type>
static int copy_name(const std::map<key_type, std::u16string> &names, key_type key, LPWSTR name, int size)
{
    auto found = names.find(key);
    if (found == names.end() || size < 1)
        return 0;
    int length = (int)std::min<size_t>(found->second.size(), (size_t)size - 1);
    memcpy(name, found->second.c_str(), length * sizeof(WCHAR));
    name[length] = 0;
    return length;
}

int GetClassNameW(HWND hwnd, LPWSTR name, int size)
{
    note("GetClassNameW %llx", number(hwnd));
    return copy_name(w.window_classes, hwnd, name, size);
}

int GetClipboardFormatNameW(UINT format, LPWSTR name, int size)
{
    note("GetClipboardFormatNameW %u", format);
    return copy_name(w.format_names, format, name, size);
}

// ---- window class, window, messages

ATOM RegisterClassW(const WNDCLASSW *window_class)
{
    note("RegisterClassW");
    if (fails(w.register_class))
        return 0;
    w.window_class = *window_class;
    w.class_name = narrow(window_class->lpszClassName);
    return 0xC001;
}

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    note("CreateWindowExW %lu %s \"%s\" %lu %d %d %d %d %lld %llx %llx %llx", ex_style, narrow(class_name).c_str(),
         narrow(title).c_str(), style, x, y, width, height, (long long)(intptr_t)parent, number(menu),
         number(instance), number(parameter));
    WNDPROC procedure = w.window_class.lpfnWndProc;
    if (fails(w.create_window) || !procedure || narrow(class_name) != w.class_name)
        return NULL;
    if (!procedure(BRIDGE_WINDOW, WM_NCCREATE, 0, 0) || procedure(BRIDGE_WINDOW, WM_CREATE, 0, 0) == -1)
        return NULL;
    w.window_alive = true;
    return BRIDGE_WINDOW;
}

BOOL DestroyWindow(HWND hwnd)
{
    note("DestroyWindow %llx", number(hwnd));
    if (hwnd != BRIDGE_WINDOW || !w.window_alive)
        return FALSE;
    w.window_alive = false;
    w.window_class.lpfnWndProc(hwnd, WM_DESTROY, 0, 0);
    return TRUE;
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    note("DefWindowProcW %llx %#x %llu %lld", number(hwnd), message, wparam, lparam);
    return message == WM_NCCREATE ? TRUE : w.default_result;
}

BOOL GetMessageW(LPMSG message, HWND hwnd, UINT first, UINT last)
{
    note("GetMessageW %llx %u %u", number(hwnd), first, last);
    if (w.queue.empty())
        return w.dry_gets++, -1;
    *message = w.queue.front();
    w.queue.erase(w.queue.begin());
    return message->message != WM_QUIT;
}

// A message-only window of window_classes, found by its class.
HWND FindWindowExW(HWND parent, HWND, LPCWSTR class_name, LPCWSTR)
{
    note("FindWindowExW %llx", number(parent));
    for (const auto &[hwnd, name] : w.window_classes)
        if (parent == HWND_MESSAGE && name == (const char16_t *)class_name)
            return hwnd;
    return NULL;
}

static bool wine_x_bridge(HWND hwnd)
{
    auto found = w.window_classes.find(hwnd);
    return found != w.window_classes.end() && found->second == u"__wine_clipboard_manager";
}

// Only messages to the clipboard's owner and Wine's X bridge: none is answered while it is deaf (the
// wait runs out); for WM_RENDERFORMAT, a format that renders by now gets its data set, which moves the sequence
// number on as Wine does outside a reader's GetClipboardData.
LRESULT SendMessageTimeoutW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT flags, UINT timeout,
                            PDWORD_PTR result)
{
    note("SendMessageTimeoutW %llx %#x %llu %lld %u %u", number(hwnd), message, wparam, lparam, flags, timeout);
    if (result)
        *result = 0;
    if ((hwnd == w.clipboard_owner || wine_x_bridge(hwnd)) && w.tick < w.owner_deaf_until) {
        w.tick += timeout;
        return FALSE;
    }
    if (message != WM_RENDERFORMAT || hwnd != w.clipboard_owner)
        return TRUE;
    for (const clip_entry &entry : w.clipboard)
        if (entry.format == wparam) {
            w.tick += std::min<ULONGLONG>(entry.render_ms, timeout);
            w.sequence += entry.data && w.tick >= entry.renders_from && entry.render_ms <= timeout;
            return entry.render_ms <= timeout;
        }
    return TRUE;
}

BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageW(const MSG *message)
{
    if (message->hwnd != BRIDGE_WINDOW || !w.window_alive)
        return 0;
    return w.window_class.lpfnWndProc(message->hwnd, message->message, message->wParam, message->lParam);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    note("PostMessageW %llx %#x %llu", number(hwnd), message, wparam);
    bool refused = fails(w.post_message) || hwnd != BRIDGE_WINDOW || !w.window_alive;
    (refused ? w.refused_posts : w.queue).push_back(MSG{hwnd, message, wparam, lparam, 0, {0, 0}});
    return !refused;
}

void PostQuitMessage(int code)
{
    note("PostQuitMessage %d", code);
    w.queue.push_back(MSG{NULL, WM_QUIT, (WPARAM)code, 0, 0, {0, 0}});
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC procedure)
{
    note("SetTimer %llx %llu %u %llx", number(hwnd), id, period, (unsigned long long)(uintptr_t)procedure);
    return fails(w.set_timer) ? 0 : id;
}

BOOL AddClipboardFormatListener(HWND hwnd)
{
    note("AddClipboardFormatListener %llx", number(hwnd));
    return !fails(w.add_listener);
}

BOOL RemoveClipboardFormatListener(HWND hwnd) { return note("RemoveClipboardFormatListener %llx", number(hwnd)), TRUE; }

// ---- global and heap memory

static global_block *block_of(HGLOBAL handle)
{
    size_t index = number(handle) - 1;
    if (index < w.blocks.size() && !w.blocks[index].freed)
        return &w.blocks[index];
    w.misuses++;
    return nullptr;
}

static void release_block(global_block *block)
{
    free(block->bytes);
    *block = global_block{nullptr, 0, 0, true, false};
}

static HGLOBAL new_block(const void *bytes, SIZE_T size, int fill)
{
    unsigned char *copy = (unsigned char *)malloc(size);
    if (bytes)
        memcpy(copy, bytes, size);
    else
        memset(copy, fill, size);
    w.blocks.push_back(global_block{copy, size, 0, false, false});
    return (HGLOBAL)(uintptr_t)w.blocks.size();
}

HGLOBAL make_block(const void *bytes, SIZE_T size) { return new_block(bytes, size, 'u'); }

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes)
{
    note("GlobalAlloc %u %zu", flags, bytes);
    return fails(w.global_alloc) ? NULL : new_block(nullptr, bytes, 0xCD);
}

LPVOID GlobalLock(HGLOBAL handle)
{
    global_block *block = block_of(handle);
    if (!block || fails(w.global_lock))
        return NULL;
    block->locks++;
    return block->bytes;
}

BOOL GlobalUnlock(HGLOBAL handle)
{
    global_block *block = block_of(handle);
    if (block && block->locks == 0)
        w.misuses++;
    return block && block->locks > 0 && --block->locks > 0;
}

SIZE_T GlobalSize(HGLOBAL handle)
{
    global_block *block = block_of(handle);
    return block ? block->size : 0;
}

HGLOBAL GlobalFree(HGLOBAL handle)
{
    note("GlobalFree %llx", number(handle));
    global_block *block = block_of(handle);
    if (!block || block->on_clipboard)
        return w.misuses += block != nullptr, handle;
    release_block(block);
    return NULL;
}

HANDLE GetProcessHeap(void) { return PROCESS_HEAP; }

LPVOID HeapAlloc(HANDLE heap, DWORD, SIZE_T bytes)
{
    if (heap != PROCESS_HEAP || fails(w.heap_alloc))
        return NULL;
    void *memory = malloc(bytes);
    w.heap[memory] = bytes;
    return memory;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory)
{
    if (heap != PROCESS_HEAP || !w.heap.erase(memory))
        return w.misuses++, FALSE;
    free(memory);
    return TRUE;
}

int blocks_locked(void)
{
    int locked = 0;
    for (const global_block &block : w.blocks)
        locked += block.locks > 0;
    return locked;
}

int blocks_orphaned(void)
{
    int orphaned = 0;
    for (const global_block &block : w.blocks)
        orphaned += !block.freed && !block.on_clipboard;
    return orphaned;
}

std::string block_bytes(HGLOBAL handle)
{
    size_t index = number(handle) - 1;
    if (index >= w.blocks.size() || w.blocks[index].freed)
        return "<no block>";
    return std::string((const char *)w.blocks[index].bytes, w.blocks[index].size);
}

// ---- clipboard

static bool clipboard_usable(void) { return w.misuses += !w.clipboard_open, w.clipboard_open; }

static void clear_clipboard(void)
{
    for (clip_entry &entry : w.clipboard)
        if (entry.data)
            release_block(&w.blocks[number(entry.data) - 1]);
    w.clipboard.clear();
}

BOOL OpenClipboard(HWND owner)
{
    note("OpenClipboard %llx", number(owner));
    if (w.before_open)
        w.before_open();
    if (fails(w.open_clipboard) || w.clipboard_open || w.tick < w.clipboard_held_until)
        return FALSE;
    w.clipboard_open = true;
    w.clipboard_opener = owner;
    return TRUE;
}

BOOL CloseClipboard(void)
{
    note("CloseClipboard");
    if (!clipboard_usable())
        return FALSE;
    w.clipboard_open = false;
    return TRUE;
}

BOOL EmptyClipboard(void)
{
    note("EmptyClipboard");
    if (!clipboard_usable() || fails(w.empty_clipboard))
        return FALSE;
    clear_clipboard();
    w.clipboard_owner = w.clipboard_opener;
    w.sequence++;
    return TRUE;
}

UINT EnumClipboardFormats(UINT format)
{
    note("EnumClipboardFormats %u", format);
    bool take = format == 0;
    if (clipboard_usable())
        for (const clip_entry &entry : w.clipboard) {
            if (take)
                return entry.format;
            take = entry.format == format;
        }
    return 0;
}

HANDLE GetClipboardData(UINT format)
{
    note("GetClipboardData %u", format);
    if (clipboard_usable())
        for (const clip_entry &entry : w.clipboard)
            if (entry.format == format)
                return w.tick < entry.renders_from ? NULL : entry.data;
    return NULL;
}

HANDLE SetClipboardData(UINT format, HANDLE data)
{
    note("SetClipboardData %u", format);
    global_block *block = block_of(data);
    if (!clipboard_usable() || !block || block->on_clipboard || w.refused_formats.count(format))
        return NULL;
    block->on_clipboard = true;
    w.sequence++;
    for (clip_entry &entry : w.clipboard)
        if (entry.format == format) {
            release_block(&w.blocks[number(entry.data) - 1]);
            entry.data = data;
            return data;
        }
    w.clipboard.push_back(clip_entry{format, data});
    return data;
}

HWND GetClipboardOwner(void) { return note("GetClipboardOwner"), w.clipboard_owner; }

// Held open by another program: a window that is not ours.
HWND GetOpenClipboardWindow(void)
{
    note("GetOpenClipboardWindow");
    if (w.clipboard_open)
        return w.clipboard_opener;
    return w.tick < w.clipboard_held_until ? (HWND)0x0BE7 : NULL;
}
DWORD GetClipboardSequenceNumber(void) { return note("GetClipboardSequenceNumber"), w.sequence; }

void clipboard_write(HWND owner, const std::vector<clip_entry> &entries)
{
    clear_clipboard();
    for (const clip_entry &entry : entries)
        if (entry.data)
            w.blocks[number(entry.data) - 1].on_clipboard = true;
    w.clipboard = entries;
    w.clipboard_owner = owner;
    w.sequence++;
}

HGLOBAL make_text_block(const std::u16string &text) { return make_block(text.c_str(), (text.size() + 1) * 2); }

void clipboard_write_text(HWND owner, const std::u16string &text)
{
    clipboard_write(owner, {{CF_UNICODETEXT, make_text_block(text)}});
}

std::string clipboard_bytes(UINT format)
{
    for (const clip_entry &entry : w.clipboard)
        if (entry.format == format)
            return block_bytes(entry.data);
    return "";
}

std::vector<std::string> calls_named(const std::vector<std::string> &names)
{
    std::vector<std::string> kept;
    for (const std::string &call : w.calls)
        for (const std::string &name : names)
            if (call.compare(0, call.find(' '), name) == 0)
                kept.push_back(call);
    return kept;
}

// ---- keyboard and hotkeys

BOOL RegisterHotKey(HWND hwnd, int id, UINT modifiers, UINT vk)
{
    note("RegisterHotKey %llx %#x %#x %u", number(hwnd), id, modifiers, vk);
    if (fails(w.register_hotkey))
        return w.last_error = w.hotkey_error, FALSE;
    return TRUE;
}

BOOL UnregisterHotKey(HWND hwnd, int id) { return note("UnregisterHotKey %llx %#x", number(hwnd), id), TRUE; }

UINT SendInput(UINT count, LPINPUT inputs, int size)
{
    note("SendInput %u", count);
    w.misuses += size != (int)sizeof(INPUT);
    if (fails(w.send_input))
        return 0;
    for (UINT i = 0; i < count; i++) {
        const KEYBDINPUT &key = inputs[i].ki;
        w.keys_sent.push_back(key_sent{inputs[i].type, key.wVk, key.wScan, key.dwFlags, key.time, key.dwExtraInfo, w.tick});
    }
    return count;
}

UINT MapVirtualKeyW(UINT code, UINT map_type)
{
    w.misuses += map_type != MAPVK_VK_TO_VSC;
    auto found = w.scan_codes.find(code);
    return found == w.scan_codes.end() ? 0 : found->second;
}

SHORT GetAsyncKeyState(int vk)
{
    w.key_queries.push_back(vk);
    return w.key_state.count(vk) ? w.key_state[vk] : 0;
}

// ---- runtime library

char *_strdup(const char *text) { return strdup(text); }
size_t double_wcslen(const WCHAR *text) { return double_wcsnlen(text, (size_t)-1); }
int double_wcscmp(const WCHAR *a, const WCHAR *b) { return double_wcsncmp(a, b, (size_t)-1); }

size_t double_wcsnlen(const WCHAR *text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length])
        length++;
    return length;
}

int double_wcsncmp(const WCHAR *a, const WCHAR *b, size_t limit)
{
    for (size_t i = 0; i < limit; i++) {
        if (a[i] != b[i])
            return (unsigned short)a[i] < (unsigned short)b[i] ? -1 : 1;
        if (!a[i])
            return 0;
    }
    return 0;
}

WCHAR *double_wcscpy(WCHAR *to, const WCHAR *from)
{
    return (WCHAR *)memcpy(to, from, (double_wcslen(from) + 1) * sizeof(WCHAR));
}

// The classic locale folds A to Z only.
static unsigned short fold(WCHAR unit) { return unit >= L'A' && unit <= L'Z' ? unit + 32 : (unsigned short)unit; }

int _wcsicmp(const WCHAR *a, const WCHAR *b)
{
    for (; fold(*a) == fold(*b); a++, b++)
        if (!*a)
            return 0;
    return fold(*a) < fold(*b) ? -1 : 1;
}

std::string narrow(const WCHAR *text)
{
    std::string out;
    for (; text && *text; text++)
        out += (unsigned short)*text < 0x80 ? (char)*text : '?';
    return out;
}

// ---- standard streams

static int saved_stdout = -1;
static FILE *capture_file;

void capture_begin(void)
{
    fflush(stdout);
    capture_file = tmpfile();
    saved_stdout = dup(1);
    dup2(fileno(capture_file), 1);
}

void capture_end(void)
{
    fflush(stdout);
    dup2(saved_stdout, 1);
    close(saved_stdout);
    fclose(capture_file);
}

std::string printed_text(void)
{
    fflush(stdout);
    std::string text;
    char chunk[4096];
    ssize_t got;
    for (off_t at = 0; (got = pread(fileno(capture_file), chunk, sizeof chunk, at)) > 0; at += got)
        text.append(chunk, got);
    return text;
}

std::vector<std::string> printed_lines(void)
{
    std::string text = printed_text();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back("[unterminated] " + text.substr(start));
    return lines;
}

void feed_stdin(const std::string &text)
{
    int ends[2];
    if (pipe(ends) != 0 || write(ends[1], text.data(), text.size()) != (ssize_t)text.size())
        abort();
    close(ends[1]);
    dup2(ends[0], 0);
    close(ends[0]);
    clearerr(stdin);
}

bool heap_freed(const void *memory)
{
#if defined(__SANITIZE_ADDRESS__)
    return __asan_address_is_poisoned(memory);
#else
    return memory != nullptr;  // cannot tell without AddressSanitizer
#endif
}
