// Game watch: two witnesses must agree that the game is in front.
//
// The host, outside Wine, reports whether the game has the input focus; its reports ("focus %d")
// are taken in on the reader thread and count for 300 ms. Wine must also have, as its foreground
// window, a window of a process whose image is StarCitizen.exe. Nothing is cached: every question
// asks Wine anew. The reader thread stores focus_at, then exchanges host_focus; the main thread
// loads them in the opposite order, so a flag seen always comes with its own tick or a later one.
//
// The first step of each timer tick runs here and prints the state line every 150 ms.

#include "game_watch.h"

#include <wchar.h>

#include "host_protocol.h"
#include "wine_bridge.h"

#define IMAGE_PATH_UNITS 2048

static const WCHAR game_image[] = L"StarCitizen.exe";

void take_focus_report(int focused)
{
    focus_at.store(GetTickCount64(), std::memory_order_relaxed);
    host_focus.exchange(focused != 0, std::memory_order_acq_rel);
}

static const WCHAR *file_name(const WCHAR *path)
{
    const WCHAR *name = path;
    for (const WCHAR *cursor = path; *cursor; cursor++)
        if (*cursor == L'\\')
            name = cursor + 1;
    return name;
}

int game_process(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    WCHAR path[IMAGE_PATH_UNITS];
    DWORD length = IMAGE_PATH_UNITS;
    BOOL found = QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    if (!found)
        return 0;
    return _wcsicmp(file_name(path), game_image) == 0;
}

static int focus_fresh(void)
{
    if (!host_focus.load(std::memory_order_acquire))
        return 0;
    ULONGLONG now = GetTickCount64();
    // A report stored after the clock was read wraps to a huge age: stale for this call only.
    return now - focus_at.load(std::memory_order_relaxed) <= FOCUS_VALID_MS;
}

HWND foreground_game(void)
{
    if (!focus_fresh())
        return NULL;
    HWND front = GetForegroundWindow();
    if (!front)
        return NULL;
    return game_process(window_pid(front)) ? front : NULL;
}

DWORD window_pid(HWND hwnd)
{
    DWORD pid = 0;
    if (hwnd)
        GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

int target_check(HWND front)
{
    return target && front == target && window_pid(front) == target_pid;
}

static void print_state(ULONGLONG now, HWND front)
{
    last_state = now;
    print_line("{\"native_state\":true,\"foreground\":%s,\"hwnd\":%llu,\"pid\":%lu,\"busy\":%s,\"epoch\":%d}\n",
               front ? "true" : "false", (ULONGLONG)(UINT_PTR)front, window_pid(front),
               stage != 0 ? "true" : "false", epoch);
}

int watch_step(ULONGLONG now, HWND *front)
{
    int state_due = now - last_state >= STATE_SPACING_MS;
    if (stage == 0 && !clipboard_pending && !state_due)
        return 0;
    *front = foreground_game();
    if (state_due)
        print_state(now, *front);
    return 1;
}
