// Fuzz target: any bytes on the bridge's standard input, from start-up to the end of input, while the
// clock runs, the game and the user write the clipboard, windows come to the front, keys are held
// and hotkeys pressed.
//
// The double runs the reader thread to its end inside CreateThread, before WinMain's message loop.
// So standard input is a stream whose every read first gives the main thread a turn (the lines
// posted so far, clipboard updates, one event of the world, timer ticks) and then hands the reader
// the next piece of input, cut at a length chosen by the input: lines arrive cut anywhere, and the
// reader waits on the rest while the main thread works, as it does beside the real message loop.
//
// Layout of an input: the reader's bytes are taken from the front; the choices of each turn, three
// bytes (event, its argument, length of the next piece), from the back, last byte first. The first
// choice of all is the user's clipboard at start.
//
// The host's "selection <0/1>" lines are the host asking X whether its clipboard selection has an
// owner: every such line that the bridge takes in tells the truth of that moment (the world sets
// its digit right before the bridge reads it); any other line goes in as it came.
//
// Checked: every line printed is a JSON object of its kind; an acquisition ends with exactly one text
// or error line, or none when the host ends it, and a format without data fails it only once stage 1
// has waited its second; whenever no acquisition holds the clipboard (stage 0 or 1) and no give-back
// waits for it, it holds exactly what the user or the game last wrote (less the formats that nobody
// can render, when they came from an X program that has gone), and otherwise that or the bridge's
// command; the user's clipboard comes back once another program's hold ends; after shutdown, every
// key typed is up again and nothing is left open, locked or held.

#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_world.h"
#include "output_check.h"
#include "win32_double.h"

#include "clipboard.h"
#include "game_watch.h"
#include "host_protocol.h"
#include "keyboard.h"
#include "wine_bridge.h"

namespace {

#define LOAN_WAIT_MS 1000  // how long stage 1 waits for the clipboard and its formats
#define MAX_TURNS 64

enum event { TIME_PASSES, HOST_FOCUS, FRONT_WINDOW, GAME_WRITES, USER_COPIES, KEY_TOGGLED, HOTKEY, FAILURE, EVENTS };

struct run {
    FuzzedDataProvider input;
    bool host_sees_game = false;  // the host repeats "focus 1" before every tick
    DWORD sequence_seen = 0;      // clipboard sequence of the last WM_CLIPBOARDUPDATE
    uint64_t expected = 0;              // digest of what the user or the game last put on the clipboard
    uint64_t readable = 0;              // of its formats that give data now or later
    bool x_owner_gone = false;          // it came from an X program that has gone since
    DWORD written_sequence = 0;         // clipboard sequence right after it was written
    ULONGLONG loan_wait_since = 0;      // when the acquisition under way entered stage 1
    DWORD kept_sequence = 0;            // clipboard sequence at which it last held the user's content
    int turns = 0;                      // turns of the main thread so far
    run(const uint8_t *data, size_t size) : input(data, size) {}
};

run *current;  // the run under way, for the window procedure's wrapper

void world_writes(run &r, HWND owner, const std::vector<clip_entry> &entries, bool x_owner_gone)
{
    clipboard_write(owner, entries);
    r.expected = clipboard_digest();
    r.readable = x_owner_gone ? clipboard_digest(true) : 0;  // only asked for once its owner has gone
    r.x_owner_gone = x_owner_gone;
    r.written_sequence = w.sequence;
    r.kept_sequence = 0;
}

// Whether X's clipboard selection has an owner now: Wine takes it for every change made in Wine,
// so only what Wine imported from an X program that has gone since has none.
bool x_selection_owned(const run &r)
{
    return !r.x_owner_gone || w.sequence != r.written_sequence;
}

// What the user may have on the clipboard: nothing, texts, several formats, a format that yields no
// data or no bytes, more formats than a snapshot holds, coordinates copied by hand; what Wine
// imported from an X program that has gone (listed, but only the locale renders); formats that a
// live owner (the X bridge asking a slow X program, or a program of Wine) renders 0 to 1500 ms late.
void user_copies(run &r, unsigned variant)
{
    static const std::u16string hello = u"hello", coordinates = u"Coordinates: x:9 y:9 z:9";
    static const char locale[4] = {0x0C, 0x04, 0, 0};
    std::vector<clip_entry> entries;
    HWND owner = OTHER;
    ULONGLONG late = w.tick + variant / 10 * 1500 / 24;
    switch (variant % 10) {
    case 0: break;
    case 1: entries = {{CF_UNICODETEXT, make_text_block(hello)}, {CF_LOCALE, make_block(locale, 4)}}; break;
    case 2:
        entries = {{1, make_block("plain", 6)}, {0xC123, make_block(nullptr, 3000)},
                   {CF_UNICODETEXT, make_text_block(hello)}};
        break;
    case 3: entries = {{CF_UNICODETEXT, make_text_block(hello)}, {0xC124, NULL}}; break;
    case 4: entries = {{0xC125, make_block(nullptr, 0)}}; break;
    case 5:
        for (UINT format = 0xC000; format <= 0xC000 + SNAPSHOT_FORMATS; format++)
            entries.push_back({format, make_block(&format, sizeof format)});
        break;
    case 6: owner = NULL; entries = {{CF_UNICODETEXT, make_text_block(coordinates)}}; break;
    case 7: entries = {{CF_UNICODETEXT, make_text_block(coordinates)}}; break;
    case 8:
        owner = X_BRIDGE;
        entries = {{CF_UNICODETEXT, NULL}, {CF_LOCALE, make_block(locale, 4)}, {CF_TEXT, NULL}, {CF_OEMTEXT, NULL}};
        break;
    case 9:
        owner = variant / 10 % 2 ? X_BRIDGE : OTHER;
        entries = {{CF_UNICODETEXT, make_text_block(hello), late}, {CF_LOCALE, make_block(locale, 4)},
                   {CF_TEXT, make_block("hello", 6), late}, {CF_OEMTEXT, make_block("hello", 6), late}};
        break;
    }
    world_writes(r, owner, entries, variant % 10 == 8);
}

// The X program whose copy Wine lists quits: what it has not rendered yet, nobody will.
void x_owner_quits(run &r)
{
    if (w.sequence != r.written_sequence || w.clipboard_owner != X_BRIDGE)
        return;
    for (clip_entry &entry : w.clipboard)
        if (entry.renders_from > w.tick)
            entry.renders_from = NEVER;
    r.x_owner_gone = true;
    r.readable = clipboard_digest(true);
    r.kept_sequence = 0;
}

// The game's answers: valid, with escaped characters, the longest, and refused ones.
void game_writes(run &r, unsigned variant)
{
    static const std::u16string texts[] = {
        u"Coordinates: x:12.5 y:-3 z:+7",
        u"Coordinates:\r\nx:1\ty:2",
        u"Coordinates:" + std::u16string(4082, u'9'),
        u"coordinates: x:1",
        u"Coordinates: \"x\" \\",
        u"Coordinates: x:1 \u00e9",
    };
    static const char unterminated[] = {'C', 0, 'o', 0};
    size_t count = sizeof texts / sizeof texts[0];
    HGLOBAL block = variant % (count + 2) < count ? make_text_block(texts[variant % (count + 2)])
                    : variant % (count + 2) == count ? make_block(unterminated, sizeof unterminated)
                                                     : make_block(nullptr, 0);
    world_writes(r, GAME, {{CF_UNICODETEXT, block}}, false);
}

void toggle_key(unsigned choice)
{
    static const int keys[] = {VK_CONTROL, VK_MENU, VK_SHIFT, VK_LWIN, VK_RETURN, 'V', 'P'};
    int vk = keys[choice % (sizeof keys / sizeof keys[0])];
    w.key_state[vk] = w.key_state[vk] ? 0 : (SHORT)0x8000;
}

// The player switches away while the bridge holds a key down.
void front_lost_in_sleep(DWORD)
{
    w.foreground = OTHER;
    w.on_sleep = nullptr;
}

// Another program holds the clipboard open: for a few calls, or for up to 5 s, as a holder that the
// game's load has descheduled does. None starts while a give-back waits, so that the holds never add
// up to the give-back's 30 s.
void hold_clipboard(unsigned choice)
{
    if (choice % 2 == 0)
        w.open_clipboard.fail_next(1 + choice / 2 % 3);
    else if (!giving_back)
        w.clipboard_held_until = w.tick + choice * 100;
}

void inject_failure(run &r, unsigned choice)
{
    switch (choice % 6) {
    case 0: hold_clipboard(choice / 6); break;
    case 1: w.send_input.fail_next(); break;
    case 2: w.heap_alloc.fail_next(); break;
    case 3: w.on_sleep = front_lost_in_sleep; break;
    case 4: w.register_hotkey.fail_next(); break;
    case 5: x_owner_quits(r); break;
    }
}

void tick(run &r, unsigned step)
{
    w.tick += step;
    if (r.host_sees_game)
        take_focus_report(1);
    procedure(BRIDGE_WINDOW, WM_TIMER, 1, 0);
}

void world_event(run &r)
{
    unsigned kind = r.input.ConsumeIntegral<uint8_t>() % EVENTS, argument = r.input.ConsumeIntegral<uint8_t>();
    static const HWND fronts[] = {GAME, GAME_SECOND, OTHER, NULL};
    switch (kind) {
    case TIME_PASSES: tick(r, argument * 4); break;
    case HOST_FOCUS: r.host_sees_game = argument & 1; take_focus_report(argument & 1); break;
    case FRONT_WINDOW: w.foreground = fronts[argument % 4]; break;
    case GAME_WRITES: game_writes(r, argument); break;
    case USER_COPIES: user_copies(r, argument); break;
    case KEY_TOGGLED: toggle_key(argument); break;
    case HOTKEY: procedure(BRIDGE_WINDOW, WM_HOTKEY, HOTKEY_BASE + argument % 5, MAKELPARAM(0, 'P')); break;
    case FAILURE: inject_failure(r, argument); break;
    }
}

// The clipboard format listener: one WM_CLIPBOARDUPDATE for the changes since the last one.
void clipboard_update_due(run &r)
{
    if (w.sequence == r.sequence_seen)
        return;
    r.sequence_seen = w.sequence;
    procedure(BRIDGE_WINDOW, WM_CLIPBOARDUPDATE, 0, 0);
}

// The user's content: all that was last put on the clipboard, or, once its X owner has gone, the
// formats that could be read of it.
bool users_content(const run &r, uint64_t contents)
{
    return contents == r.expected || (r.x_owner_gone && contents == r.readable);
}

// Every write to the clipboard changes its sequence number, so its content is compared once per
// change (and in full after shutdown).
void check_clipboard(run &r)
{
    if (w.sequence == r.kept_sequence)
        return;
    if (users_content(r, clipboard_digest())) {
        r.kept_sequence = w.sequence;
        return;
    }
    if (stage < 2 && !giving_back)
        violation("no acquisition or give-back holds the clipboard, yet it is not what was last put on it", "");
    if (!command_on_clipboard())
        violation("an acquisition holds the clipboard, which holds neither the command nor newer content", "");
}

// The lines that end an acquisition (text and error lines, but a refused hotkey's) printed from offset
// on, told by their first key (every line is parsed in full at the end); format_error tells whether
// one of them says that a format could not be saved.
int ending_lines_since(size_t offset, bool &format_error)
{
    const std::string &text = printed_output();
    auto begins = [&text](size_t at, const char *prefix) { return text.compare(at, strlen(prefix), prefix) == 0; };
    int count = 0;
    format_error = false;
    for (size_t start = offset, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (begins(start, "{\"text\":") ||
            (begins(start, "{\"error\":\"") && !begins(start, "{\"error\":\"Raccourci"))) {
            count++;
            format_error |= begins(start, "{\"error\":\"Format du presse-papiers non sauvegardable");
        }
    return count;
}

// One step of the main thread. An acquisition ends with exactly one text or error line, but when the
// host ends it (a host line: "cancel", "context"), which it does without a word. A listed format
// without data may come a moment later: stage 1 waits a whole second for it before it fails.
template <typename step> void observed(run &r, bool from_host, step work)
{
    int stage_before = stage;
    size_t offset = printed_output().size();
    work();
    if (stage_before == 0) {
        if (stage == 1)
            r.loan_wait_since = w.tick;
        return;
    }
    int expected = stage != 0 ? 0 : from_host ? 0 : 1;
    bool format_error;
    if (ending_lines_since(offset, format_error) != expected)
        violation(expected ? "an acquisition ended without its one text or error line"
                           : "an acquisition printed a text or error line without ending, or the host's end was not silent",
                  std::to_string(stage_before) + " -> " + std::to_string(stage));
    if (format_error && w.tick < r.loan_wait_since + LOAN_WAIT_MS)
        violation("a format without data failed the loan before stage 1 had waited its second for it",
                  std::to_string(w.tick - r.loan_wait_since) + " ms");
}

// The host asked X right before it wrote "selection N": a line that the bridge takes as one (the
// word, then a number 0 or 1 as strtoll reads it) gets the digit of the truth. Its last digit
// carries the value; a "-0" turned into 1 becomes "+1".
void honest_selection_report(const run &r, char *line)
{
    static const char word[] = "selection";
    if (strncmp(line, word, sizeof word - 1) != 0)
        return;
    char *number = line + sizeof word - 1, *end;
    long long value = strtoll(number, &end, 10);
    if (end == number || (value != 0 && value != 1))
        return;
    bool owned = x_selection_owned(r);
    end[-1] = owned ? '1' : '0';
    char *sign = number + strspn(number, " \t\n\v\f\r");
    if (owned && *sign == '-')
        *sign = '+';
}

// The bridge's window procedure, as Wine calls it for every message dispatched to the window.
LRESULT CALLBACK honest_host(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_HOST_LINE)
        honest_selection_report(*current, (char *)lparam);
    return procedure(hwnd, message, wparam, lparam);
}

void main_thread_turn(run &r)
{
    while (!w.queue.empty()) {
        MSG message = w.queue.front();
        w.queue.erase(w.queue.begin());
        observed(r, true, [&] { DispatchMessageW(&message); });
    }
    observed(r, false, [&] {
        clipboard_update_due(r);
        world_event(r);
        clipboard_update_due(r);
    });
    check_clipboard(r);
}

// An input ends when its bytes do, or after MAX_TURNS turns: what a longer one could do, a shorter
// one does with longer steps of time, and every input runs in a bounded time.
bool turns_left(run &r)
{
    return r.input.remaining_bytes() && r.turns < MAX_TURNS;
}

ssize_t read_input(void *, char *buffer, size_t size)
{
    run &r = *current;
    w.window_class.lpfnWndProc = honest_host;  // registered before the reader started
    size_t length = 0;
    while (length == 0 && turns_left(r)) {
        main_thread_turn(r);
        r.turns++;
        length = r.input.ConsumeIntegral<uint8_t>();
    }
    // At the end of input a holder lets go within the bridge's last two seconds.
    if (!turns_left(r) && w.clipboard_held_until > w.tick + 1500)
        w.clipboard_held_until = w.tick + 1500;
    return r.input.ConsumeData(buffer, length < size ? length : size);
}

// Every key the bridge pressed was released, unless a refused key event kept it down.
void check_keys_released(void)
{
    std::map<WORD, int> down;
    for (const key_sent &key : w.keys_sent)
        down[key.scan] += key.flags & KEYEVENTF_KEYUP ? -1 : 1;
    for (const auto &key : down)
        if (key.second != 0 && w.send_input.at.empty())
            violation("a key typed by the bridge was left down", std::to_string(key.first));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    world_begin();
    run r(data, size);
    current = &r;
    user_copies(r, r.input.ConsumeIntegral<uint8_t>());
    w.run_threads = true;

    // One stream for every run, emptied and cleared of its end before each.
    static FILE *input = fopencookie(nullptr, "r", cookie_io_functions_t{read_input, nullptr, nullptr, nullptr});
    __fpurge(input);
    clearerr(input);
    FILE *saved_stdin = stdin;
    stdin = input;
    WinMain(BRIDGE_INSTANCE, NULL, NULL, 0);
    stdin = saved_stdin;

    check_output(world_end());
    if (!users_content(r, clipboard_digest()))
        violation("after shutdown the clipboard is not what was last put on it", "");
    check_keys_released();
    check_world_clean();
    reset_bridge_state();
    double_reset();
    return 0;
}
