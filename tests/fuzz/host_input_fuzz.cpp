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
// two choices of all are the user's clipboard at start and the world: whether the host sends
// "selection" lines, whether an intermediary runs from the start and its delay.
//
// The host's "selection <0/1>" lines are the host asking X whether its clipboard selection has an
// owner: every such line that the bridge takes in tells the truth of that moment (the world sets
// its digit right before the bridge reads it); any other line goes in as it came. A host that sends
// none (an older one) turns them into lines that are no command.
//
// An intermediary (gamescope, a clipboard persister or manager) may run between Wine and X's
// clipboard, or start and quit: it notices every copy that it did not serve itself, reads its
// Unicode text when the clipboard renders one, and after its delay owns X's clipboard with that
// text; Wine then imports it under its X bridge as plain text. While it waits it notices nothing,
// so a newer copy may be replaced by the older text (the intermediary's doing). Its import lands
// between two steps of the bridge's thread (Wine waits for the clipboard's owner to handle
// messages), and is dropped while another program holds the clipboard open. What it serves again
// of the user's or the game's content is the user's content from then on: what the desktop keeps.
// The bridge's command served again is not: it must be given back, and when it lands over a newer
// content, the user's content is again what the bridge lent (the newer one is the intermediary's
// loss; the bridge can only give back its snapshot). The clipboard is checked as the bridge leaves
// it at its exit: what the intermediary serves once the bridge has gone is no longer its doing.
//
// Checked: every line printed is a JSON object of its kind; an acquisition ends with exactly one text
// or error line, or none when the host ends it, and a format without data fails it only once stage 1
// has waited its second; whenever no acquisition holds the clipboard (stage 0 or 1) and no give-back
// waits for it, it holds exactly what the user or the game last wrote, or the intermediary last
// served of it (less the formats that nobody can render, when they came from an X program that has
// gone), or the command served again since the bridge's last tick, and otherwise that or the
// bridge's command (its own, or served again); the user's clipboard comes back once another
// program's hold ends; after shutdown, every key typed is up again and nothing is left open, locked
// or held.

#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

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

#define LOAN_WAIT_MS 1000      // how long stage 1 waits for the clipboard and its formats
#define MAX_TURNS 64
#define X_WAIT_MS 550ull       // Wine's wait for an X program's answer, after which a render fails
#define X_ANSWER_MS 2          // a render by an X program that answers
#define GONE_OWNER_READ_MS 1   // a render that X refuses at once: nobody owns the selection

enum event {
    TIME_PASSES, HOST_FOCUS, FRONT_WINDOW, GAME_WRITES, USER_COPIES, KEY_TOGGLED, HOTKEY, FAILURE, INTERMEDIARY, EVENTS
};

// What the clipboard must hold for the user.
struct users_content {
    uint64_t expected = 0;       // digest of what the user or the game last put on the clipboard
    uint64_t readable = 0;       // of its formats that give data now or later
    bool x_owner_gone = false;   // it came from an X program that has gone since
    unsigned written = 0;        // the copy that wrote it
};

// A program between Wine and X's clipboard that serves every copy again.
struct intermediary {
    bool running = false;
    ULONGLONG delay = 0;      // from noticing a copy to owning X's clipboard with its text
    UINT target = 0;          // the X target it serves beside UTF8_STRING, as Wine lists it (0: none)
    unsigned noticed = 0;     // the copy whose text it read last
    unsigned own = 0;         // the copy at which it last took X's clipboard
    bool pending = false;     // it has read a text and waits out its delay
    ULONGLONG due = 0;
    std::u16string text;
    bool command = false;     // the text it read was the bridge's command
};

struct run {
    FuzzedDataProvider input;
    bool host_sees_game = false;  // the host repeats "focus 1" before every tick
    bool selection_host = false;  // the host sends "selection" lines
    DWORD sequence_seen = 0;      // clipboard sequence of the last WM_CLIPBOARDUPDATE
    unsigned copy = 1;            // copies made so far (a render moves the sequence number on, but is none)
    uint64_t copy_key = 0;        // the clipboard's owner and content as of the last copy
    users_content user;           // now
    users_content lent;           // when the bridge placed its last command
    DWORD lent_for = 0;           // the bridge's command_sequence of that command
    unsigned x_gone = 0;          // the copy at which X's selection lost its owner
    intermediary x;
    bool serve_untimed = false;   // the intermediary served the command since the bridge's last tick
    ULONGLONG loan_wait_since = 0;      // when the acquisition under way entered stage 1
    DWORD kept_sequence = 0;            // clipboard sequence at which it last held the user's content
    int turns = 0;                      // turns of the main thread so far
    run(const uint8_t *data, size_t size) : input(data, size) {}
};

run *current;  // the run under way, for the window procedure's wrapper

uint64_t copy_key(void)
{
    return clipboard_digest() ^ (uintptr_t)w.clipboard_owner * 0x9E3779B97F4A7C15ull;
}

// Counts a copy that the bridge made: the clipboard's owner or content changed.
void copies_seen(run &r)
{
    uint64_t key = copy_key();
    if (key != r.copy_key) {
        r.copy_key = key;
        r.copy++;
    }
}

// The world writes the clipboard: a copy, even of the same content.
void clipboard_copy(run &r, HWND owner, const std::vector<clip_entry> &entries)
{
    clipboard_write(owner, entries);
    r.copy_key = copy_key();
    r.copy++;
}

void world_writes(run &r, HWND owner, const std::vector<clip_entry> &entries, bool x_owner_gone)
{
    clipboard_copy(r, owner, entries);
    r.user.expected = clipboard_digest();
    r.user.readable = x_owner_gone ? clipboard_digest(true) : 0;  // only asked for once its owner has gone
    r.user.x_owner_gone = x_owner_gone;
    r.user.written = r.copy;
    if (x_owner_gone)
        r.x_gone = r.copy;
    r.kept_sequence = 0;
}

// Whether X's clipboard selection has an owner now: Wine takes it for every copy made in Wine, so
// only what Wine imported from an X program that has gone since has none (the intermediary too,
// once it has quit, if it held the selection last).
bool x_selection_owned(const run &r)
{
    return r.copy != r.x_gone;
}

// What the user may have on the clipboard: nothing, texts, several formats, a format that yields no
// data or no bytes, more formats than a snapshot holds, coordinates copied by hand; what Wine
// imported from an X program that has gone (listed, but only the locale renders, and a render fails
// at once); formats that a live owner (the X bridge asking a slow X program, each render failing only
// after Wine's wait, or a program of Wine) renders 0 to 1500 ms late.
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
        entries = {{CF_UNICODETEXT, NULL, NEVER, GONE_OWNER_READ_MS}, {CF_LOCALE, make_block(locale, 4)},
                   {CF_TEXT, NULL, NEVER, GONE_OWNER_READ_MS}, {CF_OEMTEXT, NULL, NEVER, GONE_OWNER_READ_MS}};
        break;
    case 9:
        // Wine asks X for the Unicode text only, and makes the 8-bit forms of it.
        owner = variant / 10 % 2 ? X_BRIDGE : OTHER;
        entries = {{CF_UNICODETEXT, make_text_block(hello), late, owner == X_BRIDGE ? X_WAIT_MS : 0ull},
                   {CF_LOCALE, make_block(locale, 4)}, {CF_TEXT, make_block("hello", 6), late},
                   {CF_OEMTEXT, make_block("hello", 6), late}};
        break;
    }
    world_writes(r, owner, entries, variant % 10 == 8);
}

// What the X program behind the user's content has not rendered yet, nobody will: a render fails at
// once from now on.
void x_content_gone(run &r, bool all)
{
    for (clip_entry &entry : w.clipboard)
        if (entry.renders_from > w.tick || (all && entry.format != CF_LOCALE)) {
            entry.renders_from = NEVER;
            entry.render_ms = GONE_OWNER_READ_MS;
        }
    r.x_gone = r.copy;
    r.user.x_owner_gone = true;
    r.user.readable = clipboard_digest(true);
    r.kept_sequence = 0;
}

// The intermediary quits. If it held X's clipboard last, the selection has no owner: what Wine
// imported from it and was not read yet cannot be read any more (only the locale, which Wine makes
// itself). The command served again stays readable: the game's paste or the bridge's own check read
// it (a command that nobody has read yet when the intermediary quits is left out of this world).
void intermediary_quits(run &r)
{
    r.x.running = r.x.pending = false;
    if (r.copy != r.x.own)
        return;
    r.x_gone = r.copy;
    if (w.clipboard_owner == X_BRIDGE && r.copy == r.user.written)
        x_content_gone(r, true);
}

// The X program whose copy Wine lists quits: what it has not rendered yet, nobody will.
void x_owner_quits(run &r)
{
    if (r.x.running && r.copy == r.x.own)
        intermediary_quits(r);
    else if (r.copy == r.user.written && w.clipboard_owner == X_BRIDGE)
        x_content_gone(r, false);
}

// The intermediary notices a copy that it did not serve itself and reads its text, unless it still
// waits to serve the last one (it notices nothing meanwhile). A clipboard without a text that renders
// now is asked again later.
void intermediary_notices(run &r)
{
    std::u16string text;
    if (!r.x.running || r.x.pending || r.copy == r.x.noticed || r.copy == r.x.own || !clipboard_text(text))
        return;
    r.x.noticed = r.copy;
    r.x.pending = true;
    r.x.due = w.tick + r.x.delay;
    r.x.text = text;
    r.x.command = command_on_clipboard() || command_served_again();
}

void intermediary_starts(run &r, unsigned argument)
{
    static const UINT targets[] = {0, UTF8_TARGET, TEXT_PLAIN_TARGET, 0};
    r.x = intermediary();
    r.x.running = true;
    // 0 to 4.8 s, finer among the short ones: a persister takes a few ms, a loaded machine seconds.
    r.x.delay = (ULONGLONG)(argument & 63) * (argument & 63) * 6 / 5;
    r.x.target = targets[argument >> 6 & 3];
    intermediary_notices(r);
}

// The intermediary owns X's clipboard with the text it read, and Wine imports it, unless another
// program holds the clipboard open: then the import is dropped, and the clipboard keeps what it had.
void intermediary_serves(run &r)
{
    r.x.pending = false;
    if (w.tick < w.clipboard_held_until) {
        r.x.own = r.copy;
        return;
    }
    std::vector<clip_entry> entries = x_text_entries(r.x.text, r.x.target);
    r.serve_untimed = r.x.command;
    if (!r.x.command) {
        world_writes(r, X_BRIDGE, entries, false);
    } else {
        bool over_command = command_on_clipboard() || command_served_again();
        clipboard_copy(r, X_BRIDGE, entries);
        if (!over_command) {
            r.user = r.lent;
            r.kept_sequence = 0;
        }
    }
    r.x.own = r.copy;
}

// How long the next render of a format that Wine asks of a live X program takes: until the program
// has it, at most Wine's wait, after which the render fails; a round trip once it has.
void x_renders_paced(void)
{
    for (clip_entry &entry : w.clipboard)
        if (entry.render_ms && entry.renders_from != NEVER)
            entry.render_ms = entry.renders_from <= w.tick + X_ANSWER_MS ? X_ANSWER_MS
                              : std::min<ULONGLONG>(entry.renders_from - w.tick, X_WAIT_MS);
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

// The clipboard format listener: one WM_CLIPBOARDUPDATE for the changes since the last one.
void clipboard_update_due(run &r)
{
    if (w.sequence == r.sequence_seen)
        return;
    r.sequence_seen = w.sequence;
    procedure(BRIDGE_WINDOW, WM_CLIPBOARDUPDATE, 0, 0);
}

template <typename step> void observed(run &r, bool from_host, step work);

void timer(run &r)
{
    if (r.host_sees_game)
        take_focus_report(1);
    observed(r, false, [&] {
        procedure(BRIDGE_WINDOW, WM_TIMER, 1, 0);
        clipboard_update_due(r);
    });
    r.serve_untimed = false;
}

// Time passes. The bridge's timer runs every few ms: once at the end of the step, and right after
// each import of the intermediary that lands meanwhile.
void tick(run &r, unsigned step)
{
    ULONGLONG until = w.tick + step;
    while (r.x.pending && r.x.due <= until) {
        if (r.x.due > w.tick)
            w.tick = r.x.due;
        timer(r);
    }
    if (until > w.tick)
        w.tick = until;
    timer(r);
}

void world_event(run &r)
{
    unsigned kind = r.input.ConsumeIntegral<uint8_t>() % EVENTS, argument = r.input.ConsumeIntegral<uint8_t>();
    static const HWND fronts[] = {GAME, GAME_SECOND, OTHER, NULL};
    if (kind == TIME_PASSES) {
        tick(r, argument * 4);
        return;
    }
    observed(r, false, [&] {
        switch (kind) {
        case HOST_FOCUS: r.host_sees_game = argument & 1; take_focus_report(argument & 1); break;
        case FRONT_WINDOW: w.foreground = fronts[argument % 4]; break;
        case GAME_WRITES: game_writes(r, argument); break;
        case USER_COPIES: user_copies(r, argument); break;
        case KEY_TOGGLED: toggle_key(argument); break;
        case HOTKEY: procedure(BRIDGE_WINDOW, WM_HOTKEY, HOTKEY_BASE + argument % 5, MAKELPARAM(0, 'P')); break;
        case FAILURE: inject_failure(r, argument); break;
        case INTERMEDIARY: r.x.running ? intermediary_quits(r) : intermediary_starts(r, argument); break;
        }
        clipboard_update_due(r);
    });
}

// The user's content: all that was last put on the clipboard, or, once its X owner has gone, the
// formats that could be read of it.
bool users_content(const run &r, uint64_t contents)
{
    return contents == r.user.expected || (r.user.x_owner_gone && contents == r.user.readable);
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
    // The bridge looks for its command served again at its next tick.
    bool served_untimed = r.serve_untimed && command_served_again();
    if (stage < 2 && !giving_back && !served_untimed)
        violation("no acquisition or give-back holds the clipboard, yet it is not what was last put on it", "");
    if (!command_on_clipboard() && !command_served_again())
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
template <typename step> void observed_step(run &r, bool from_host, step work)
{
    int stage_before = stage;
    size_t offset = printed_output().size();
    x_renders_paced();
    work();
    copies_seen(r);
    // What the bridge lends is what the clipboard held for the user (no world event comes within a step).
    // A command placed again at the paste, where the intermediary served the lent text over it, keeps
    // the loan: what goes back is what was lent.
    if (command_sequence != r.lent_for) {
        if (stage_before == 2) {
            r.user = r.lent;
            r.kept_sequence = 0;
        } else {
            r.lent = r.user;
        }
        r.lent_for = command_sequence;
    }
    intermediary_notices(r);
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

// Every step of the bridge's thread, but first what the intermediary has served by now: Wine imports
// it as soon as the thread handles messages.
template <typename step> void observed(run &r, bool from_host, step work)
{
    if (r.x.pending && r.x.due <= w.tick)
        observed_step(r, false, [&] {
            intermediary_serves(r);
            clipboard_update_due(r);
        });
    observed_step(r, from_host, work);
}

// The host asked X right before it wrote "selection N": a line that the bridge takes as one (the
// word, then a number 0 or 1 as strtoll reads it) gets the digit of the truth. Its last digit
// carries the value; a "-0" turned into 1 becomes "+1". A host that sends no such lines never
// wrote it: the line is no command.
void honest_selection_report(const run &r, char *line)
{
    static const char word[] = "selection";
    if (strncmp(line, word, sizeof word - 1) != 0)
        return;
    if (!r.selection_host) {
        line[0] = '#';
        return;
    }
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
    observed(r, false, [&] { clipboard_update_due(r); });
    world_event(r);
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
    // At the end of input a holder lets go within the bridge's last two seconds, and what the
    // intermediary has served by now lands before the bridge closes.
    if (!turns_left(r) && w.clipboard_held_until > w.tick + 1500)
        w.clipboard_held_until = w.tick + 1500;
    if (!turns_left(r))
        observed(r, false, [] {});
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
    unsigned world_choice = r.input.ConsumeIntegral<uint8_t>();
    r.selection_host = world_choice & 1;
    if (world_choice & 2)
        intermediary_starts(r, world_choice >> 2);
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
