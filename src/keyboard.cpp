// Keyboard: what the bridge types into the game, and the hotkeys the host binds.
//
// Main thread only. Each key event carries its scan code, flagged KEYEVENTF_SCANCODE, and the key's
// own virtual key too: Windows and Wine 9.10 on ignore the virtual key of a scan-code event and map
// the scan code themselves, but Wine 8.0 to 9.9 pass it on as it is, and with 0 there a game that
// reads virtual keys, key state or WM_CHAR never sees the key. Every key typed is released before
// send_keys returns, so the released-keys test still finds them up. Before the first key and again
// before V, the captured target window
// must still be the game's window in front; once Ctrl went down it always comes up again.
// send_keys sleeps for the key holds (70 or 80 ms): nothing else is handled meanwhile.
//
// Hotkeys are registered on window under the identifiers 0x514E + slot; the system keeps the
// bindings, the bridge only the key of the "position" slot, which must be up before typing.
// Wine ignores MOD_NOREPEAT: a held combination fires again at the keyboard's repeat rate, and a
// host that triggers on every action line would start a second acquisition. So a slot reported once
// is reported again only after the timer tick has seen its key up (held_hotkey); a press after a
// release is always reported. Only a release and a new press between two ticks (10 ms apart, more
// while send_keys holds a key) would pass for a repeat.

#include "keyboard.h"

#include "game_watch.h"
#include "host_protocol.h"
#include "wine_bridge.h"

#define VK_V 0x56

// The keys that must be up before the bridge types, in the order they are asked about.
static const int keys[] = {VK_CONTROL, VK_MENU, VK_SHIFT, VK_LWIN, VK_RWIN, VK_RETURN, VK_V};

static const char *const actions[HOTKEY_SLOTS] = {"position", "next", "previous", "survey"};

int key_event(int vk, int up)
{
    WORD scan = (WORD)MapVirtualKeyW((UINT)(vk & 0xFFFF), MAPVK_VK_TO_VSC);
    if (scan == 0)
        return 0;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = (WORD)vk;
    input.ki.wScan = scan;
    input.ki.dwFlags = KEYEVENTF_SCANCODE | (up ? KEYEVENTF_KEYUP : 0);
    return SendInput(1, &input, sizeof(INPUT)) == 1;
}

static int target_in_front(void)
{
    return target_check(foreground_game());
}

static int type_enter(void)
{
    if (!target_in_front() || !key_event(VK_RETURN, 0))
        return 0;
    Sleep(ENTER_HOLD_MS);
    return key_event(VK_RETURN, 1);
}

static int type_paste(void)
{
    if (!target_in_front() || !key_event(VK_CONTROL, 0))
        return 0;
    Sleep(CTRL_LEAD_MS);
    if (!target_in_front() || !key_event(VK_V, 0)) {
        key_event(VK_CONTROL, 1);
        return 0;
    }
    Sleep(V_HOLD_MS);
    int v_up = key_event(VK_V, 1);
    int ctrl_up = key_event(VK_CONTROL, 1);
    return v_up && ctrl_up;
}

int send_keys(int mode)
{
    return mode == TYPE_ENTER ? type_enter() : type_paste();
}

static int key_down(int vk)
{
    return GetAsyncKeyState(vk) < 0;
}

int released(void)
{
    if (position_vk != 0 && key_down(position_vk))
        return 0;
    for (int vk : keys)
        if (key_down(vk))
            return 0;
    return 1;
}

void bind_hotkey(int slot, int modifiers, int vk)
{
    UnregisterHotKey(window, HOTKEY_BASE + slot);
    held_hotkey[slot] = 0;
    if (slot == 0)
        position_vk = vk;
    if (vk == 0)
        return;
    if (!RegisterHotKey(window, HOTKEY_BASE + slot, modifiers | MOD_NOREPEAT, vk))
        print_line("{\"error\":\"Raccourci refuse par Wine (erreur %lu)\",\"epoch\":%d}\n", GetLastError(), epoch);
}

void hotkey_pressed(WPARAM id, LPARAM keys)
{
    if (!enabled || !foreground_game())
        return;
    UINT slot = (UINT)id - HOTKEY_BASE;
    if (slot >= HOTKEY_SLOTS || held_hotkey[slot])
        return;
    held_hotkey[slot] = HIWORD(keys);
    print_line("{\"native_action\":\"%s\",\"epoch\":%d}\n", actions[slot], epoch);
}

void watch_held_hotkeys(void)
{
    for (int slot = 0; slot < HOTKEY_SLOTS; slot++)
        if (held_hotkey[slot] && !key_down(held_hotkey[slot]))
            held_hotkey[slot] = 0;
}

void unregister_hotkeys(void)
{
    for (int slot = 0; slot < HOTKEY_SLOTS; slot++)
        UnregisterHotKey(window, HOTKEY_BASE + slot);
}
