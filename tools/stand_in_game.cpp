// StarCitizen.exe: the stand-in game for the end-to-end tests.
//
// A visible window that takes the foreground at start and behaves like the game's chat as the bridge
// drives it: Enter opens the chat, Ctrl+V pastes the clipboard's Unicode text into the chat line,
// Enter again runs the line and closes the chat, and "/showlocation" is answered by putting a
// coordinates text on the clipboard from this window. It reads its keys one of the ways games do
// (game_keys: window messages by scan code or by virtual key, polled key state, DirectInput 8 or raw
// input), chosen with --keys=<way> at start (scan by default) or the "keys" command, and acts only
// on what that way shows of a key, never kinder than such a game.
//
// The test drives it through stdin (commands in the table below) and reads one log line per event
// on stdout, each ending with its QueryPerformanceCounter time in ms. All work runs on the main
// thread in the window procedure; a late answer waits on a window timer.

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "game_keys.h"
#include "tool_support.h"

#define ANSWER_TIMER 1
#define CHAT_UNITS 4096
#define ANSWER_NEVER -1

static const WCHAR default_answer[] = L"Coordinates: x:-12345.678 y:234.5 z:7.25";
static const WCHAR chat_command[] = L"/showlocation";

static int ctrl_down;                       // Ctrl was down at the last key seen
static int chat_open;                       // Enter opened the chat and it has not run yet
static WCHAR chat_line[CHAT_UNITS];         // what was pasted into the open chat
static WCHAR answer_text[TOOL_TEXT_UNITS];  // the text that answers "/showlocation"
static int answer_delay_ms;                 // 0 at once, ANSWER_NEVER, else ms after the command ran

static void log_text(const char *event, const WCHAR *text)
{
    char *escaped = encode_text(text, (int)wcslen(text));
    if (escaped)
        log_line("%s %s", event, escaped);
    else
        log_line("error no memory");
    free(escaped);
}

static void answer(HWND window)
{
    if (copy_text(window, answer_text, (int)wcslen(answer_text), 0))
        log_text("answered", answer_text);
    else
        log_line("error clipboard refused the answer");
}

static void run_chat(HWND window)
{
    chat_open = 0;
    log_text("ran", chat_line);
    if (wcscmp(chat_line, chat_command) != 0 || answer_delay_ms == ANSWER_NEVER)
        return;
    if (answer_delay_ms == 0)
        answer(window);
    else
        SetTimer(window, ANSWER_TIMER, answer_delay_ms, NULL);
}

static void paste(HWND window)
{
    size_t length = wcslen(chat_line);
    int found = read_text(window, chat_line + length, CHAT_UNITS - (int)length);
    if (found == 1)
        log_text("pasted", chat_line + length);
    else
        log_line("paste failed %s", found ? "clipboard busy" : "no text");
}

static void enter(HWND window)
{
    if (chat_open) {
        run_chat(window);
        return;
    }
    chat_open = 1;
    chat_line[0] = 0;
    log_line("chat open");
}

// The message time (or time stamp) is the tick at which the sender injected the event: holds
// measured with it do not depend on when this process got round to the event.
static void key(HWND window, const key_change *change)
{
    log_line("key %s %d %d sent=%lu via=%s", change->down ? "down" : "up", change->scan, change->vk,
             (unsigned long)change->sent, keys_way_name(keys_way()));
    ctrl_down = change->ctrl;
    if (!change->down || change->repeat)
        return;
    if (change->key == KEY_ENTER)
        enter(window);
    else if (change->key == KEY_V && change->ctrl && chat_open)
        paste(window);
    else if (change->key == KEY_ESCAPE && chat_open) {
        chat_open = 0;
        log_line("chat closed");
    }
}

static void late_answer(HWND window)
{
    KillTimer(window, ANSWER_TIMER);
    answer(window);
}

// Reads "normal", "text <t>", "late <ms> [<t>]" or "never"; *text stays NULL for the default answer.
static int parse_answer(const char *rest, int *delay, const char **text)
{
    unsigned long long ms;
    const char *end;
    *delay = 0;
    *text = NULL;
    if (strcmp(rest, "normal") == 0)
        return 1;
    if (strcmp(rest, "never") == 0) {
        *delay = ANSWER_NEVER;
        return 1;
    }
    if (strncmp(rest, "text ", 5) == 0) {
        *text = rest + 5;
        return 1;
    }
    if (strncmp(rest, "late ", 5) != 0 || !parse_number(rest + 5, &ms, &end) || ms < 1 || ms > 600000)
        return 0;
    if (*end == ' ')
        *text = end + 1;
    else if (*end)
        return 0;
    *delay = (int)ms;
    return 1;
}

static void command_answer(HWND, const char *rest)
{
    int delay;
    const char *text;
    WCHAR decoded[TOOL_TEXT_UNITS];
    if (!parse_answer(rest, &delay, &text) || (text && decode_text(text, decoded, TOOL_TEXT_UNITS) < 0)) {
        log_line("error usage: answer normal | text <t> | late <ms 1..600000> [<t>] | never");
        return;
    }
    wcscpy(answer_text, text ? decoded : default_answer);
    answer_delay_ms = delay;
    log_line("answer %.*s", (int)strcspn(rest, " "), rest);
}

static void use_way(HWND window, int way)
{
    if (use_keys_way(window, way, key))
        log_line("keys %s", keys_way_name(way));
    else
        log_line("error keys %s: %s", keys_way_name(way), keys_error);
}

static void command_keys(HWND window, const char *rest)
{
    int way = keys_way_named(rest);
    if (way < 0)
        log_line("error usage: keys scan | vk | poll | dinput | raw");
    else
        use_way(window, way);
}

static void command_state(HWND window, const char *)
{
    char *line = encode_text(chat_line, (int)wcslen(chat_line));
    log_line("state front=%d chat=%d ctrl=%d line=%s", GetForegroundWindow() == window, chat_open, ctrl_down,
             line ? line : "");
    free(line);
}

// Commands and their replies (texts escaped as in tool_support; every line ends with its time):
//   front -> "front <1 if now in front>"          copy <t> / copy-sized <bytes> <t> -> "copied <seq>"
//   read -> "read text <t>" or "read none"          answer normal|text <t>|late <ms> [<t>]|never -> "answer <mode>"
//   state -> "state front=<0|1> chat=<0|1> ctrl=<0|1> line=<t>"                  quit -> "bye"
//   keys scan|vk|poll|dinput|raw -> "keys <way>"
// Events: "keys <way>" (the way at start, before the ready line), "ready hwnd=<n> pid=<n> front=<0|1>",
// "key down|up <scan> <vk> sent=<tick in ms> via=<way>", "chat open", "chat closed", "pasted <t>",
// "paste failed <why>", "ran <t>", "answered <t>", "focus lost" (held keys are forgotten then).
// Bad input: "error <message>".
static const tool_command commands[] = {
    {"front", command_front},
    {"copy", command_copy},
    {"copy-sized", command_copy_sized},
    {"read", command_read},
    {"answer", command_answer},
    {"state", command_state},
    {"keys", command_keys},
    {"quit", command_quit},
};

static int startup_way = WAY_SCAN;

// The game's own messages: the way it starts reading keys, its keys and the timer of a late answer.
static int game_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (keys_message(window, message, wparam, lparam))
        return 1;
    switch (message) {
    case WM_CREATE: use_way(window, startup_way); return 0;
    case WM_KILLFOCUS: ctrl_down = 0; log_line("focus lost"); return 0;
    case WM_TIMER: if (wparam == ANSWER_TIMER) late_answer(window); return 1;
    default: return 0;
    }
}

static const tool stand_in_game = {L"StandInGame", 0, 1, commands, ARRAYSIZE(commands), game_message};

// The one start-up option: "--keys=<way>".
static int parse_options(const char *command_line)
{
    if (!*command_line)
        return 1;
    startup_way = strncmp(command_line, "--keys=", 7) == 0 ? keys_way_named(command_line + 7) : -1;
    return startup_way >= 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int)
{
    if (!parse_options(command_line)) {
        log_line("error usage: StarCitizen.exe [--keys=scan|vk|poll|dinput|raw]");
        return 2;
    }
    wcscpy(answer_text, default_answer);
    return run_tool(instance, &stand_in_game);
}
