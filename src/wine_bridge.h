// The bridge's process-wide state, its three recurring resets and the entry points of the main thread.
#pragma once

#include <windows.h>
#include <atomic>

#define SNAPSHOT_FORMATS 64
#define TEXT_UNITS 4096
#define COOL_DOWN_MS 2000
#define HOTKEY_SLOTS 4

// One clipboard format of the user's, copied aside during an acquisition.
struct saved_format {
    UINT format;     // clipboard format number
    ULONGLONG size;  // byte length of data, never 0
    void *data;      // process-heap block of exactly size bytes, owned by the snapshot
};

extern HWND window;                         // hidden message-only window: clipboard owner, hotkey owner, post target
extern int epoch;                           // chosen by the host, echoed in every line but the ready line
extern int enabled;                         // 1 once the host has enabled the bridge with "context"
extern int delay_ms;                        // pause between keystroke stages, 10..500
extern std::atomic<int> host_focus;         // the host's last focus report (reader thread writes)
extern std::atomic<ULONGLONG> focus_at;     // tick of the last focus report (reader thread writes)
extern ULONGLONG last_state;                // tick of the last state line
extern int position_vk;                     // virtual key of the "position" hotkey, 0 for none
extern WORD held_hotkey[HOTKEY_SLOTS];      // key of each slot's reported hotkey until seen up, 0 for none
extern int stage;                           // 0 idle, 1 keys held, 2 chat open, 3 pasted, 4 sent
extern HWND target;                         // game window captured at "trigger"
extern DWORD target_pid;                    // its process id
extern ULONGLONG deadline;                  // the current stage must be done before this tick
extern ULONGLONG due;                       // the next keystroke stage may run from this tick on
extern ULONGLONG started;                   // chat command placed on the clipboard
extern ULONGLONG submitted;                 // final Enter stage begun
extern ULONGLONG completed;                 // final Enter sent
extern ULONGLONG passive_after;             // cool-down: no trigger, no passive report before this tick
extern int prepared;                        // a snapshot is held and the chat command was placed
extern int saved_count;                     // entries used in saved
extern saved_format saved[SNAPSHOT_FORMATS];  // the snapshot of the user's clipboard
extern const char *clipboard_error;         // message of the last failed snapshot
extern int clipboard_busy;                  // the last snapshot may succeed later: clipboard open elsewhere, a format
                                            // not rendered yet, or a give-back waiting
extern int selection_reported;              // the host has reported X's selection (selection_unowned)
extern int selection_unowned;               // the host's last report: X's clipboard selection has no owner
extern DWORD unowned_sequence;              // clipboard sequence number when the host made that report
extern DWORD command_sequence;              // clipboard sequence number right after the command was placed
extern int giving_back;                     // the snapshot waits to go back: another program holds the clipboard
extern ULONGLONG give_back_until;           // the waiting give-back's last try
extern int watching;                        // the snapshot is kept in case the command comes back late
extern ULONGLONG watch_until;               // ... until this tick
extern ULONGLONG watch_limit;               // ... or at most this one, while Wine's X bridge is silent
extern int x_bridge_was_silent;             // ... as it was when last asked
extern DWORD looked_sequence;               // clipboard sequence number last compared with the command
extern int closing;                         // the window is to close once no give-back waits
extern int clipboard_pending;               // a clipboard change waits to be examined
extern ULONGLONG clipboard_tick;            // tick of the last clipboard change
extern DWORD change_sequence;               // clipboard sequence number when its notice came
extern int change_writer;                   // who owned the clipboard then (clipboard_writer)
extern int serving_game;                    // the changes since the game's last write, unread, are imports through X
extern ULONGLONG game_write_tick;           // tick of that write
extern double clipboard_wall;               // its wall-clock time, ms since 1970-01-01 UTC
extern DWORD last_sequence;                 // clipboard sequence number already examined
extern WCHAR last_text[TEXT_UNITS];         // the last coordinates text reported
extern ULONGLONG last_fix;                  // tick at which last_text was reported

// Ends any acquisition: stage 0, no target, the user's clipboard put back if the command is still ours.
void reset_acquisition(void);
// No new acquisition and no passive report for the next two seconds.
void start_cool_down(ULONGLONG now);
// Puts every variable back to its value at process start (for tests).
void reset_bridge_state(void);

LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show);
