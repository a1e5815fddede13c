// Keyboard: synthetic keys into the game, the released-keys test and the four global hotkeys.
#pragma once

#include <windows.h>

#define HOTKEY_BASE 0x514E
#define ENTER_HOLD_MS 70
#define CTRL_LEAD_MS 10
#define V_HOLD_MS 70

enum keys_mode { TYPE_ENTER = 0, TYPE_PASTE = 1 };

// Injects one press (up 0) or release of vk by its scan code, with vk itself beside it.
int key_event(int vk, int up);
// Types Enter (TYPE_ENTER) or Ctrl+V into the target window, checking it is still in front.
int send_keys(int mode);
// 1 when the "position" key, the modifiers, both Windows keys, Enter and V are all up.
int released(void);

// "bind slot modifiers vk", numbers already in range.
void bind_hotkey(int slot, int modifiers, int vk);
// WM_HOTKEY (keys: its lParam, modifiers and virtual key): reports the slot's action while the game
// is in front, once per press of the key.
void hotkey_pressed(WPARAM id, LPARAM keys);
// Timer tick: a reported hotkey whose key is up again may be reported again.
void watch_held_hotkeys(void);
// Shutdown: gives up all four registrations.
void unregister_hotkeys(void);
