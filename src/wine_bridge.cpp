// The bridge's main thread: start-up, the hidden window, the timer tick and shutdown.
//
// WinMain creates one message-only window, subscribes it to clipboard changes, starts a 5 ms timer and
// the reader thread (host_protocol), prints the ready line and runs the message loop. Every piece of
// work then happens in procedure, one message at a time: timer ticks (game watch, clipboard
// examination, acquisition stages), clipboard updates, hotkeys and host lines posted by the reader as
// WM_HOST_LINE. All state below belongs to this thread, but for the two focus variables, which the
// reader thread writes.

#include "wine_bridge.h"

#include <stdio.h>
#include <string.h>

#include "acquisition.h"
#include "clipboard.h"
#include "game_watch.h"
#include "host_protocol.h"
#include "keyboard.h"
#include "x_clipboard.h"

#define TIMER_ID 1
#define TIMER_PERIOD_MS 5
#define CLOSING_GIVE_BACK_MS 2000
#define GIVE_BACK_PAUSE_MS 10

enum exit_code { EXIT_CLEAN = 0, EXIT_NO_CLASS = 1, EXIT_NO_WINDOW = 2, EXIT_NO_READER = 3 };

static const WCHAR class_name[] = L"QuillnestWineBridge";

HWND window;
int epoch;
int enabled;
int delay_ms = 50;
std::atomic<int> host_focus;
std::atomic<ULONGLONG> focus_at;
ULONGLONG last_state;
int position_vk;
WORD held_hotkey[HOTKEY_SLOTS];
int stage;
HWND target;
DWORD target_pid;
ULONGLONG deadline;
ULONGLONG due;
ULONGLONG started;
ULONGLONG submitted;
ULONGLONG completed;
ULONGLONG passive_after;
int prepared;
int saved_count;
saved_format saved[SNAPSHOT_FORMATS];
const char *clipboard_error;
int clipboard_busy;
int selection_reported;
int selection_unowned;
DWORD unowned_sequence;
DWORD command_sequence;
int giving_back;
ULONGLONG give_back_until;
int watching;
ULONGLONG watch_until;
ULONGLONG watch_limit;
int x_bridge_was_silent;
DWORD looked_sequence;
int closing;
int clipboard_pending;
ULONGLONG clipboard_tick;
DWORD change_sequence;
int change_writer;
int serving_game;
ULONGLONG game_write_tick;
double clipboard_wall;
DWORD last_sequence;
WCHAR last_text[TEXT_UNITS];
ULONGLONG last_fix;

void reset_acquisition(void)
{
    stage = 0;
    target = NULL;
    restore_clipboard();
}

void start_cool_down(ULONGLONG now)
{
    passive_after = now + COOL_DOWN_MS;
}

void reset_bridge_state(void)
{
    release_snapshot();
    forget_renders();
    window = NULL;
    epoch = 0;
    enabled = 0;
    delay_ms = 50;
    host_focus.store(0);
    focus_at.store(0);
    last_state = 0;
    position_vk = 0;
    memset(held_hotkey, 0, sizeof held_hotkey);
    stage = 0;
    target = NULL;
    target_pid = 0;
    deadline = due = started = submitted = completed = passive_after = 0;
    prepared = 0;
    clipboard_error = NULL;
    clipboard_busy = 0;
    selection_reported = 0;
    selection_unowned = 0;
    unowned_sequence = 0;
    command_sequence = 0;
    giving_back = 0;
    give_back_until = 0;
    watching = 0;
    watch_until = watch_limit = 0;
    x_bridge_was_silent = 0;
    looked_sequence = 0;
    closing = 0;
    clipboard_pending = 0;
    clipboard_tick = 0;
    change_sequence = 0;
    change_writer = serving_game = 0;
    game_write_tick = 0;
    clipboard_wall = 0;
    last_sequence = 0;
    memset(last_text, 0, sizeof last_text);
    last_fix = 0;
}

// One tick: a waiting give-back, the keys of held hotkeys, the game watch, then the pending
// clipboard change, then the acquisition's stage step. A closing bridge only gives the clipboard back.
static void tick(void)
{
    ULONGLONG now = GetTickCount64();
    HWND front;
    if (giving_back || watching)
        restore_clipboard();
    if (closing) {
        if (!giving_back)
            DestroyWindow(window);
        return;
    }
    watch_held_hotkeys();
    if (!watch_step(now, &front))
        return;
    clipboard_update();
    if (stage != 0)
        advance_stage(now, front);
}

// The window stays while a give-back waits, for up to CLOSING_GIVE_BACK_MS: the clipboard's owner
// must live for the user's content to go back.
static void close_window(HWND hwnd)
{
    closing = 1;
    reset_acquisition();
    if (!giving_back) {
        DestroyWindow(hwnd);
        return;
    }
    limit_give_back(GetTickCount64() + CLOSING_GIVE_BACK_MS);
}

LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_TIMER: tick(); return 0;
    case WM_HOTKEY: hotkey_pressed(wparam, lparam); return 0;
    case WM_CLIPBOARDUPDATE: clipboard_changed(); return 0;
    case WM_HOST_LINE: dispatch_command((char *)lparam); return 0;
    case WM_CLOSE: close_window(hwnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

static int create_window(HINSTANCE instance)
{
    WNDCLASSW window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = class_name;
    if (!RegisterClassW(&window_class))
        return EXIT_NO_CLASS;
    window = CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, instance, NULL);
    if (!window || !AddClipboardFormatListener(window))
        return EXIT_NO_WINDOW;
    return EXIT_CLEAN;
}

static int start_reader(void)
{
    HANDLE thread = CreateThread(NULL, 0, reader, NULL, 0, NULL);
    if (!thread)
        return 0;
    CloseHandle(thread);
    return 1;
}

// A message loop that ended with a give-back still waiting (GetMessageW failed, or the window
// went otherwise) keeps trying here, for the same two seconds as a close.
static void finish_give_back(void)
{
    limit_give_back(GetTickCount64() + CLOSING_GIVE_BACK_MS);
    while (giving_back) {
        Sleep(GIVE_BACK_PAUSE_MS);
        restore_clipboard();
    }
}

static void run_message_loop(void)
{
    MSG message;
    while ((int)GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    int failure = create_window(instance);
    if (failure != EXIT_CLEAN)
        return failure;
    // What the clipboard holds at start counts as examined: only a later change can be reported.
    last_sequence = clipboard_sequence();
    SetTimer(window, TIMER_ID, TIMER_PERIOD_MS, NULL);
    if (!start_reader())
        return EXIT_NO_READER;
    print_line("{\"bridge_ready\":true}\n");
    run_message_loop();
    closing = 1;
    reset_acquisition();
    finish_give_back();
    unregister_hotkeys();
    RemoveClipboardFormatListener(window);
    return EXIT_CLEAN;
}
