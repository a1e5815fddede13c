// How the stand-in game reads its keys: one of the ways real games do, chosen at start or later.
#pragma once

#include <windows.h>

enum keys_way { WAY_SCAN, WAY_VK, WAY_POLL, WAY_DINPUT, WAY_RAW, WAY_COUNT };

// The keys the game's chat acts on, as the way in use recognised them.
enum game_key { KEY_OTHER, KEY_ENTER, KEY_CTRL, KEY_V, KEY_ESCAPE, KEY_COUNT };

// One change that the way in use saw.
struct key_change {
    game_key key;
    int down;    // 1 for a press or a repeat, 0 for a release
    int repeat;  // a press of a key already down (auto-repeat)
    int ctrl;    // Ctrl is down, as this way tells
    int scan;    // the scan code, and the virtual key, as this way gives them
    int vk;
    DWORD sent;  // tick of the event: message time, DirectInput time stamp, or the poll's tick
};

typedef void (*key_handler)(HWND window, const key_change *change);

// The way called name ("scan", "vk", "poll", "dinput", "raw"), or -1.
int keys_way_named(const char *name);
const char *keys_way_name(int way);
// The way in use.
int keys_way(void);
// Stops the way in use and starts way, which reports to handler. 0 on failure, with a reason in
// keys_error; the game then reads no keys until a way starts.
int use_keys_way(HWND window, int way, key_handler handler);
extern const char *keys_error;
// The window's messages that the way in use reads. 1 when the message is taken and needs no more.
int keys_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
