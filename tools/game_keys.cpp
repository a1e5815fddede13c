// The stand-in game's keyboard: the five ways in which games read keys, one in use at a time.
//
//   scan    WM_KEYDOWN/WM_KEYUP by the scan code in lParam, Ctrl tracked from its own events;
//   vk      the same messages by the virtual key in wParam, Ctrl from GetKeyState (a UI toolkit);
//   poll    GetAsyncKeyState of Enter, Ctrl and V once per 33 ms frame, edge to edge (a game loop):
//           a key that goes down and up within one frame is never seen;
//   dinput  a DirectInput 8 keyboard, DISCL_FOREGROUND | DISCL_NONEXCLUSIVE, buffered, read once per
//           frame, by DIK code (a scan code);
//   raw     WM_INPUT from RegisterRawInputDevices, by MakeCode.
// DirectInput 8 takes over the process's raw keyboard registration on newer Wine, so raw input is
// refused in a process that ever opened a DirectInput keyboard: such a game starts with --keys=raw.
// Each change seen goes to the handler with the key as that way recognised it. Main thread only.

#define DIRECTINPUT_VERSION 0x0800
#include "game_keys.h"

#include <dinput.h>
#include <string.h>

#define FRAME_TIMER 2
#define FRAME_MS 33
#define DINPUT_BUFFER 64
#define SCAN_ESCAPE 1
#define SCAN_ENTER 28
#define SCAN_CTRL 29
#define SCAN_V 47
#define SCAN_RIGHT_CTRL 0x9D  // DIK_RCONTROL: DirectInput marks the extended key in bit 7
#define VK_V 0x56

static const char *const way_names[WAY_COUNT] = {"scan", "vk", "poll", "dinput", "raw"};

// What a polling game asks about each frame.
static const struct { int vk; game_key key; } polled[] = {{VK_RETURN, KEY_ENTER}, {VK_CONTROL, KEY_CTRL}, {VK_V, KEY_V}};

const char *keys_error;
static int way = -1;
static key_handler report;
// Down as last seen, to tell a repeat from a press. Not lParam bit 30: Wine keeps it per virtual key,
// and Wine 8 gives every scan-code event without one the same key 0.
static BYTE held[KEY_COUNT];
static IDirectInput8W *direct_input;     // kept for the process once made: see raw input above
static IDirectInputDevice8W *dinput_keyboard;

int keys_way_named(const char *name)
{
    for (int i = 0; i < WAY_COUNT; i++)
        if (strcmp(name, way_names[i]) == 0)
            return i;
    return -1;
}

const char *keys_way_name(int which)
{
    return which >= 0 && which < WAY_COUNT ? way_names[which] : "none";
}

int keys_way(void)
{
    return way;
}

static game_key key_of_scan(int scan)
{
    switch (scan) {
    case SCAN_ENTER: return KEY_ENTER;
    case SCAN_CTRL: case SCAN_RIGHT_CTRL: return KEY_CTRL;
    case SCAN_V: return KEY_V;
    case SCAN_ESCAPE: return KEY_ESCAPE;
    default: return KEY_OTHER;
    }
}

static game_key key_of_vk(int vk)
{
    switch (vk) {
    case VK_RETURN: return KEY_ENTER;
    case VK_CONTROL: return KEY_CTRL;
    case VK_V: return KEY_V;
    case VK_ESCAPE: return KEY_ESCAPE;
    default: return KEY_OTHER;
    }
}

// Hands one change to the game; Ctrl is the way's own tracking unless ctrl_from_state says otherwise.
static void seen(HWND window, game_key key, int down, int scan, int vk, DWORD sent, int ctrl_from_state)
{
    key_change change = {key, down, down && held[key], 0, scan, vk, sent};
    held[key] = (BYTE)down;
    change.ctrl = ctrl_from_state >= 0 ? ctrl_from_state : held[KEY_CTRL];
    report(window, &change);
}

static void window_key(HWND window, WPARAM wparam, LPARAM lparam, int down)
{
    int scan = (int)((lparam >> 16) & 0xFF);
    int vk = (int)wparam;
    if (way == WAY_SCAN)
        seen(window, key_of_scan(scan), down, scan, vk, (DWORD)GetMessageTime(), -1);
    else
        seen(window, key_of_vk(vk), down, scan, vk, (DWORD)GetMessageTime(), GetKeyState(VK_CONTROL) < 0);
}

static void poll_frame(HWND window)
{
    if (GetForegroundWindow() != window)
        return;
    for (const auto &key : polled) {
        int down = GetAsyncKeyState(key.vk) < 0;
        if (down != held[key.key])
            seen(window, key.key, down, (int)MapVirtualKeyW(key.vk, MAPVK_VK_TO_VSC), key.vk, GetTickCount(), -1);
    }
}

static void dinput_frame(HWND window)
{
    DIDEVICEOBJECTDATA data[DINPUT_BUFFER];
    DWORD count = DINPUT_BUFFER;
    HRESULT result = dinput_keyboard->GetDeviceData(sizeof data[0], data, &count, 0);
    if (result == DIERR_INPUTLOST || result == DIERR_NOTACQUIRED) {
        dinput_keyboard->Acquire();  // lost with the foreground; taken again once we are in front
        return;
    }
    if (FAILED(result))
        return;
    for (DWORD i = 0; i < count; i++) {
        int dik = (int)data[i].dwOfs;
        seen(window, key_of_scan(dik), (data[i].dwData & 0x80) != 0, dik, (int)MapVirtualKeyW(dik, MAPVK_VSC_TO_VK),
             data[i].dwTimeStamp, -1);
    }
}

static void raw_input(HWND window, LPARAM lparam)
{
    RAWINPUT input;
    UINT size = sizeof input;
    if (GetRawInputData((HRAWINPUT)lparam, RID_INPUT, &input, &size, sizeof(RAWINPUTHEADER)) == (UINT)-1 ||
        input.header.dwType != RIM_TYPEKEYBOARD)
        return;
    const RAWKEYBOARD &keyboard = input.data.keyboard;
    seen(window, key_of_scan(keyboard.MakeCode), !(keyboard.Flags & RI_KEY_BREAK), keyboard.MakeCode, keyboard.VKey,
         (DWORD)GetMessageTime(), -1);
}

int keys_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_KEYDOWN: case WM_SYSKEYDOWN: case WM_KEYUP: case WM_SYSKEYUP:
        if (way == WAY_SCAN || way == WAY_VK)
            window_key(window, wparam, lparam, message == WM_KEYDOWN || message == WM_SYSKEYDOWN);
        return 1;
    case WM_TIMER:
        if (wparam != FRAME_TIMER)
            return 0;
        if (way == WAY_POLL)
            poll_frame(window);
        else if (way == WAY_DINPUT)
            dinput_frame(window);
        return 1;
    case WM_KILLFOCUS:
        // A game forgets its held keys with the focus: their releases go to the next window.
        memset(held, 0, sizeof held);
        return 0;
    case WM_INPUT:
        if (way == WAY_RAW)
            raw_input(window, lparam);
        return 0;  // DefWindowProc still frees the input
    default:
        return 0;
    }
}

static int fail_way(const char *why)
{
    keys_error = why;
    return 0;
}

static int open_dinput(HWND window)
{
    if (!direct_input && FAILED(DirectInput8Create(GetModuleHandleW(NULL), DIRECTINPUT_VERSION, IID_IDirectInput8W,
                                                   (void **)&direct_input, NULL)))
        return fail_way("DirectInput8Create failed");
    if (FAILED(direct_input->CreateDevice(GUID_SysKeyboard, &dinput_keyboard, NULL)))
        return fail_way("no DirectInput keyboard");
    DIPROPDWORD buffer = {{sizeof(DIPROPDWORD), sizeof(DIPROPHEADER), 0, DIPH_DEVICE}, DINPUT_BUFFER};
    if (FAILED(dinput_keyboard->SetDataFormat(&c_dfDIKeyboard)) ||
        FAILED(dinput_keyboard->SetCooperativeLevel(window, DISCL_FOREGROUND | DISCL_NONEXCLUSIVE)) ||
        FAILED(dinput_keyboard->SetProperty(DIPROP_BUFFERSIZE, &buffer.diph))) {
        dinput_keyboard->Release();
        dinput_keyboard = NULL;
        return fail_way("the DirectInput keyboard refused its set-up");
    }
    dinput_keyboard->Acquire();  // fails while another window is in front: the frames retry
    return 1;
}

static int register_raw_keyboard(HWND window, DWORD flags)
{
    // Generic desktop page, keyboard usage; no RIDEV_INPUTSINK: input only while in front, as games do.
    RAWINPUTDEVICE device = {1, 6, flags, flags & RIDEV_REMOVE ? NULL : window};
    return RegisterRawInputDevices(&device, 1, sizeof device);
}

static void stop_way(HWND window)
{
    KillTimer(window, FRAME_TIMER);
    if (dinput_keyboard) {
        dinput_keyboard->Unacquire();
        dinput_keyboard->Release();
        dinput_keyboard = NULL;
    }
    if (way == WAY_RAW)
        register_raw_keyboard(window, RIDEV_REMOVE);
    way = -1;
    memset(held, 0, sizeof held);
}

static int start_way(HWND window, int which)
{
    if (which == WAY_RAW && direct_input)
        return fail_way("raw input needs a process that never opened DirectInput: start with --keys=raw");
    if (which == WAY_RAW && !register_raw_keyboard(window, 0))
        return fail_way("RegisterRawInputDevices failed");
    if (which == WAY_DINPUT && !open_dinput(window))
        return 0;
    if ((which == WAY_POLL || which == WAY_DINPUT) && !SetTimer(window, FRAME_TIMER, FRAME_MS, NULL))
        return fail_way("no frame timer");
    return 1;
}

int use_keys_way(HWND window, int which, key_handler handler)
{
    stop_way(window);
    report = handler;
    if (!start_way(window, which)) {
        stop_way(window);
        return 0;
    }
    way = which;
    return 1;
}
