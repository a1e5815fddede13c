// Clipboard: the loan of the user's clipboard (snapshot and restore) and the capture of the game's
// coordinates texts.

#include "bridge_test.h"

#define GENERAL "Le presse-papiers Wine ne peut pas être sauvegardé"
#define NO_FORMAT "Format du presse-papiers non sauvegardable · copiez un texte court avant le report"
#define TOO_BIG "Presse-papiers trop volumineux (limite 64 Mo) · copiez un texte court avant le report"
#define PRIVATE_FORMAT 0xC123

typedef bridge_test snapshot;

// The user's clipboard: Unicode text, a private format with zero bytes in it, and a 1-byte format.
static void user_copies(void)
{
    static const char binary[] = {0, 1, '\xFF', 0};
    clipboard_write(OTHER, {{CF_UNICODETEXT, make_text_block(u"user text")},
                            {PRIVATE_FORMAT, make_block(binary, sizeof binary)},
                            {CF_LOCALE, make_block("\t", 1)}});
}

// The clipboard's formats in order, each with its bytes (a large block by its size and a hash).
static std::string clipboard_state(void)
{
    std::string out;
    for (const clip_entry &entry : w.clipboard) {
        out += " " + std::to_string(entry.format) + "=";
        SIZE_T size = entry.data ? GlobalSize(entry.data) : 0;
        if (size <= 64) {
            out += entry.data ? block_bytes(entry.data) : "<no data>";
            continue;
        }
        unsigned long long hash = 14695981039346656037ull;
        for (const unsigned char *byte = w.blocks[(uintptr_t)entry.data - 1].bytes; size--; byte++)
            hash = (hash ^ *byte) * 1099511628211ull;
        out += "<" + std::to_string(GlobalSize(entry.data)) + " bytes, hash " + std::to_string(hash) + ">";
    }
    return out;
}

static const std::string command_state = " 13=" + utf16(u"/showlocation");

// The snapshot is kept a while after the restore, should the command come back late; once that
// watch is over, nothing may be left.
static bool nothing_held_after_the_watch(void)
{
    w.tick += LATE_COMMAND_MS;
    restore_clipboard();
    return w.heap.empty() && prepared == 0 && saved_count == 0;
}

TEST_F(snapshot, the_command_replaces_every_format_and_the_restore_puts_them_back_in_order)
{
    user_copies();
    std::string user = clipboard_state();
    ASSERT_EQ(1, save_clipboard());
    EXPECT_EQ(3, saved_count);
    EXPECT_EQ(command_state, clipboard_state());
    EXPECT_EQ(BRIDGE_WINDOW, w.clipboard_owner);
    EXPECT_EQ(1, command_owned());
    w.calls.clear();
    restore_clipboard();
    EXPECT_EQ(user, clipboard_state());
    EXPECT_TRUE(nothing_held_after_the_watch());
    // The command is looked for inside the opening that restores, before anything is emptied; what
    // went back is written once more at the end of the watch, while nobody has written since.
    static const lines_t restore_calls = {"OpenClipboard b00",     "GetClipboardData 13",    "EmptyClipboard",
                                          "SetClipboardData 13",   "SetClipboardData 49443", "SetClipboardData 16",
                                          "CloseClipboard",        "OpenClipboard b00",      "EmptyClipboard",
                                          "SetClipboardData 13",   "SetClipboardData 49443", "SetClipboardData 16",
                                          "CloseClipboard"};
    EXPECT_EQ(restore_calls,
              calls_named({"OpenClipboard", "CloseClipboard", "GetClipboardData", "EmptyClipboard", "SetClipboardData"}));
}

TEST_F(snapshot, the_save_copies_every_format_before_it_empties_the_clipboard)
{
    user_copies();
    save_clipboard();
    static const lines_t save_calls = {
        "OpenClipboard b00",      "EnumClipboardFormats 0", "GetClipboardData 13", "EnumClipboardFormats 13",
        "GetClipboardData 49443", "EnumClipboardFormats 49443", "GetClipboardData 16", "EnumClipboardFormats 16",
        "GlobalAlloc 2 28",       "EmptyClipboard",         "SetClipboardData 13", "CloseClipboard"};
    EXPECT_EQ(save_calls, calls_named({"OpenClipboard", "CloseClipboard", "EnumClipboardFormats", "GetClipboardData",
                                       "GlobalAlloc", "EmptyClipboard", "SetClipboardData"}));
}

TEST_F(snapshot, an_empty_clipboard_is_lent_and_given_back_empty)
{
    ASSERT_EQ(1, save_clipboard());
    EXPECT_EQ(0, saved_count);
    restore_clipboard();
    EXPECT_EQ("", clipboard_state());
    w.calls.clear();
    w.tick += LATE_COMMAND_MS;
    restore_clipboard();
    EXPECT_EQ((lines_t{"OpenClipboard b00", "EmptyClipboard", "CloseClipboard"}),
              calls_named({"OpenClipboard", "EmptyClipboard", "SetClipboardData", "CloseClipboard"}))
        << "at the end of the watch the empty clipboard is written again, and nothing else";
    EXPECT_EQ("", clipboard_state());
}

// Wine's X bridge may hold the clipboard open right when the watch ends: what went back is written
// again at a later tick, not forgotten.
TEST_F(snapshot, a_clipboard_held_open_at_the_end_of_the_watch_is_written_again_later)
{
    user_copies();
    std::string user = clipboard_state();
    save_clipboard();
    restore_clipboard();
    DWORD given_back = GetClipboardSequenceNumber();
    w.open_clipboard.fail_next();
    w.tick += LATE_COMMAND_MS;
    restore_clipboard();
    EXPECT_TRUE(given_back == GetClipboardSequenceNumber() && prepared == 1) << "waits with the snapshot";
    restore_clipboard();
    EXPECT_TRUE(given_back != GetClipboardSequenceNumber() && prepared == 0 && w.heap.empty());
    EXPECT_EQ(user, clipboard_state());
}

TEST_F(snapshot, at_most_64_formats_and_64_MiB_are_saved)
{
    const SIZE_T none = (SIZE_T)-1, limit = 67108864;
    std::vector<SIZE_T> many(64, 1), too_many(65, 1), many_and_none(64, 1);
    many_and_none.push_back(none);
    const struct { std::vector<SIZE_T> sizes; const char *error; } cases[] = {
        {many, nullptr},          {too_many, TOO_BIG},      {many_and_none, NO_FORMAT}, {{limit - 1, 1}, nullptr},
        {{limit - 1, 2}, TOO_BIG}, {{5, 0, 7}, NO_FORMAT}, {{5, none, 7}, NO_FORMAT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sizes.size() << " formats, the last of " << c.sizes.back() << " bytes");
        double_reset();
        std::vector<clip_entry> entries;
        for (SIZE_T size : c.sizes)
            entries.push_back({(UINT)(0xC000 + entries.size()), size == none ? NULL : make_block(nullptr, size)});
        clipboard_write(OTHER, entries);
        std::string user = clipboard_state();
        DWORD sequence = w.sequence;
        EXPECT_EQ(c.error ? 0 : 1, save_clipboard());
        if (c.error) {
            EXPECT_STREQ(c.error, clipboard_error);
            EXPECT_TRUE(w.sequence == sequence && w.clipboard_owner == OTHER) << "the clipboard was touched";
        }
        restore_clipboard();
        EXPECT_EQ(user, clipboard_state());
        EXPECT_TRUE(nothing_held_after_the_watch());
    }
}

TEST_F(snapshot, any_other_failure_gives_the_general_message_and_leaves_the_clipboard_untouched)
{
    // With one user format: the first lock is its data's, the second the command's.
    static const struct { failer world::*step; int call; } cases[] = {
        {&world::open_clipboard, 1}, {&world::global_lock, 1}, {&world::heap_alloc, 1},
        {&world::global_alloc, 1},   {&world::global_lock, 2}, {&world::empty_clipboard, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        double_reset();
        clipboard_write_text(OTHER, u"user text");
        (w.*c.step).at = {c.call};
        EXPECT_EQ(0, save_clipboard());
        EXPECT_STREQ(GENERAL, clipboard_error);
        EXPECT_EQ(" 13=" + utf16(u"user text"), clipboard_state());
        EXPECT_EQ(OTHER, w.clipboard_owner);
        EXPECT_TRUE(nothing_held_after_the_watch() && !w.clipboard_open && blocks_orphaned() == 0 && blocks_locked() == 0);
    }
}

TEST_F(snapshot, a_refused_command_puts_the_saved_formats_back_before_failing)
{
    clipboard_write(OTHER, {{CF_LOCALE, make_block("\t", 1)}, {PRIVATE_FORMAT, make_block("abc", 3)}});
    std::string user = clipboard_state();
    w.refused_formats = {CF_UNICODETEXT};
    EXPECT_EQ(0, save_clipboard());
    EXPECT_STREQ(GENERAL, clipboard_error);
    EXPECT_EQ(user, clipboard_state());
    EXPECT_TRUE(nothing_held_after_the_watch());
}

TEST_F(snapshot, the_restore_leaves_any_content_but_its_own_command_alone)
{
    const std::string command = utf16(u"/showlocation");
    const struct { HWND owner; std::string bytes; int owned; } cases[] = {
        {BRIDGE_WINDOW, command, 1},
        {BRIDGE_WINDOW, command + std::string(2, '\0'), 1},
        {OTHER, command, 0},
        {GAME, utf16(u"Coordinates: 1"), 0},
        {BRIDGE_WINDOW, utf16(u"/showlocationX"), 0},
        {BRIDGE_WINDOW, utf16(u"/ShowLocation"), 0},
        {BRIDGE_WINDOW, command.substr(0, 26), 0},
        {BRIDGE_WINDOW, command.substr(0, 27), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        double_reset();
        user_copies();
        std::string user = clipboard_state();
        ASSERT_EQ(1, save_clipboard());
        clipboard_write(c.owner, {{CF_UNICODETEXT, make_block(c.bytes.data(), c.bytes.size())}});
        std::string written = clipboard_state();
        EXPECT_EQ(c.owned, command_owned());
        restore_clipboard();
        EXPECT_EQ(c.owned ? user : written, clipboard_state());
        EXPECT_TRUE(nothing_held_after_the_watch());
    }
}

TEST_F(snapshot, the_restore_never_wipes_a_write_made_right_before_its_opening)
{
    user_copies();
    ASSERT_EQ(1, save_clipboard());
    bool written = false;
    w.before_open = [&written] {
        if (!written)
            clipboard_write_text(OTHER, u"copied meanwhile");
        written = true;
    };
    restore_clipboard();
    EXPECT_EQ(" 13=" + utf16(u"copied meanwhile"), clipboard_state());
    EXPECT_TRUE(nothing_held_after_the_watch());
}

TEST_F(snapshot, a_format_that_cannot_go_back_is_freed_and_the_others_still_go_back)
{
    user_copies();
    ASSERT_EQ(1, save_clipboard());
    w.refused_formats = {PRIVATE_FORMAT};
    w.global_alloc.fail_next();  // the first format to go back, the text, gets no block
    restore_clipboard();
    EXPECT_EQ(" 16=\t", clipboard_state());
    EXPECT_TRUE(nothing_held_after_the_watch());
}

class capture : public bridge_test {
protected:
    void SetUp() override
    {
        bridge_test::SetUp();
        enabled = 1;
        game_in_front();
        w.filetime = 133444736001234567ull;  // 1700000000.1234567 s after 1970
    }
    void game_writes(const std::u16string &text, HWND owner = GAME)
    {
        clipboard_write_text(owner, text);
        clipboard_change();
    }
};

static std::string text_line(const std::string &text, ULONGLONG latency = 0, ULONGLONG macro = 0)
{
    return "{\"text\":\"" + text + "\",\"wall_time\":1700000000.123457,\"latency_ms\":" + std::to_string(latency) +
           ",\"macro_ms\":" + std::to_string(macro) + ",\"epoch\":0}";
}

TEST_F(capture, a_coordinates_text_that_the_game_writes_is_reported_with_its_wall_time)
{
    game_writes(u"Coordinates: x:1.5 y:-2 z:3");
    EXPECT_EQ(lines_t{text_line("Coordinates: x:1.5 y:-2 z:3")}, lines());
    EXPECT_TRUE(clipboard_pending == 0 && last_sequence == w.sequence && last_fix == START_TICK);
    EXPECT_EQ("Coordinates: x:1.5 y:-2 z:3", narrow(last_text));
}

TEST_F(capture, a_coordinates_text_is_a_short_terminated_block_of_allowed_characters)
{
    const std::string longest = utf16(u"Coordinates:" + std::u16string(4082, u'1'));  // 8190 bytes
    const struct { std::string block; bool accepted; } cases[] = {
        {utf16(u"Coordinates:"), true},
        {utf16(u"Coordinates: Az09 :+-.\t\r\n"), true},
        {utf16(u"Coordinates: 1") + "junk", true},
        {longest + "x", true},
        {longest + "xy", false},
        {longest.substr(0, 8188) + "11" + std::string(1, '\0'), false},
        {std::string(1, '\0'), false},
        {std::string(2, '\0'), false},
        {utf16(u"Coordinates:").substr(0, 25), false},
        {utf16(u"Coordinates: 1").substr(0, 28), false},
        {utf16(u"coordinates: 1"), false},
        {utf16(u" Coordinates: 1"), false},
        {utf16(u"Coordinates 1"), false},
        {utf16(u"Coordinates: 1,2"), false},
        {utf16(u"Coordinates: \"1\""), false},
        {utf16(u"Coordinates: 1\\2"), false},
        {utf16(u"Coordinates: \u00e9"), false},
        {utf16(u"Coordinates: 1\u0131"), false},
        {utf16(u"Coordinates: \x01"), false},
        {utf16(u"Coordinates: _"), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        clipboard_write(GAME, {{CF_UNICODETEXT, make_block(c.block.data(), c.block.size())}});
        WCHAR text[TEXT_UNITS];
        memset(text, 0x55, sizeof text);
        int text_read;
        EXPECT_EQ(c.accepted ? 1 : 0, read_coordinates(text, &text_read));
        if (c.accepted)
            EXPECT_EQ(narrow((const WCHAR *)c.block.data()), narrow(text));
        else
            EXPECT_EQ(0x5555, (unsigned short)text[0]) << "the buffer was touched";
    }
}

TEST_F(capture, tab_cr_and_lf_are_escaped_and_the_longest_text_is_never_cut)
{
    game_writes(u"Coordinates: 1\t2\r\n3");
    game_writes(u"Coordinates:" + std::u16string(4082, u'\t'));
    std::string escaped = "Coordinates:";
    for (int i = 0; i < 4082; i++)
        escaped += "\\t";
    EXPECT_EQ((lines_t{text_line("Coordinates: 1\\t2\\r\\n3"), text_line(escaped)}), lines());
}

TEST_F(capture, a_change_is_examined_again_until_100_ms_after_its_signal)
{
    for (ULONGLONG after : {100ull, 101ull}) {
        SCOPED_TRACE(after);
        at(w.tick + 1000);
        ULONGLONG signal = w.tick;
        clipboard_write_text(GAME, after == 100 ? u"Coordinates: 1" : u"Coordinates: 2");
        w.open_clipboard.fail_next();  // busy at the signal
        clipboard_change();
        EXPECT_EQ(1, clipboard_pending);
        tick(signal + after);
        EXPECT_EQ(after == 100 ? 1u : 0u, lines().size());
        EXPECT_EQ(0, clipboard_pending);
    }
}

// Every opening may make Wine's X bridge drop an import: a text once read is not read again.
TEST_F(capture, a_change_whose_text_was_read_is_examined_no_more)
{
    game_writes(u"Not coordinates");
    EXPECT_EQ(0, clipboard_pending);
    EXPECT_TRUE(lines().empty());
}

TEST_F(capture, the_same_text_is_not_reported_again_within_5_seconds_at_stage_0)
{
    static const struct { ULONGLONG gap; const char16_t *text; bool reported; } cases[] = {
        {4999, u"Coordinates: 1", false}, {5000, u"Coordinates: 1", true}, {1, u"Coordinates: 2", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.gap);
        last_fix = 0;
        at(START_TICK);
        game_writes(u"Coordinates: 1");
        lines();
        at(START_TICK + c.gap);
        game_writes(c.text);
        EXPECT_EQ(c.reported ? 1u : 0u, lines().size());
    }
}

TEST_F(capture, a_passive_text_counts_only_when_a_window_of_the_game_owns_the_clipboard)
{
    static const struct { HWND owner; bool examined; } cases[] = {{BRIDGE_WINDOW, false}, {OTHER, true}, {NULL, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        DWORD before = last_sequence;
        w.calls.clear();
        game_writes(u"Coordinates: 1", c.owner);
        EXPECT_EQ(c.examined ? w.sequence : before, last_sequence);
        EXPECT_EQ(c.examined, !calls_named({"OpenClipboard"}).empty());
        EXPECT_EQ(0, clipboard_pending);
    }
    EXPECT_EQ(lines_t{}, lines());
}

TEST_F(capture, nothing_is_reported_while_disabled_hidden_busy_or_cooling_down)
{
    static void (*const conditions[])(void) = {
        [] { enabled = 0; },     [] { w.foreground = OTHER; }, [] { take_focus_report(0); },
        [] { w.tick += 301; },   [] { stage = 1; },            [] { stage = 3; },
        [] { passive_after = w.tick + 1; }};
    for (auto condition : conditions) {
        SCOPED_TRACE(&condition - conditions);
        enabled = 1;
        stage = 0;
        passive_after = 0;
        w.foreground = GAME;
        at(w.tick + 10000);
        condition();
        DWORD before = last_sequence;
        w.calls.clear();
        game_writes(u"Coordinates: 1");
        EXPECT_TRUE(last_sequence == before && clipboard_pending == 0 && calls_named({"OpenClipboard"}).empty());
        EXPECT_EQ(lines_t{}, lines());
    }
    stage = 0;
    at(w.tick + 10000);
    passive_after = w.tick;
    game_writes(u"Coordinates: 1");
    EXPECT_EQ(1u, lines().size()) << "the cool-down ends at passive_after";
}

TEST_F(capture, the_answer_at_stage_4_is_taken_until_the_deadline_even_as_a_repeat)
{
    static const struct { ULONGLONG late; DWORD pid; bool reported; } cases[] = {
        {0, GAME_PID, true}, {1, GAME_PID, false}, {0, 999, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        stage = 4;
        target = GAME;
        target_pid = c.pid;
        started = START_TICK;
        submitted = START_TICK + 250;
        completed = START_TICK + 320;
        deadline = START_TICK + 2250;
        memcpy(last_text, u"Coordinates: 1", 30);
        last_fix = deadline - 1;
        at(deadline + c.late);
        game_writes(u"Coordinates: 1", OTHER);  // the owner is not looked at in stage 4
        EXPECT_EQ(c.reported ? lines_t{text_line("Coordinates: 1", 2000, 320)} : lines_t{}, lines());
        EXPECT_EQ(c.reported ? 0 : 4, stage);
        EXPECT_EQ(0, clipboard_pending);
    }
}

// A program between Wine and the desktop's clipboard serves every copy again, which Wine imports
// under its X bridge: the game's copy so served counts as the game's, any other import does not.
#define X_IMPORT ((HWND)0xC1C)
#define NEVER_TICK (~0ull)

struct write_step {
    HWND owner;
    const char16_t *text;
    ULONGLONG after;   // ms after the previous step
    bool read_blocked; // the clipboard is held open from its notice until the next step
    bool noticed = true;  // its notice is handled now (else it waits in the queue behind the next step)
};

// Opened under Wine's X bridge's window, the clipboard stays open to its import (Wine drops one that
// finds it open under another window); a clipboard held open is never taken from its holder, and a
// Windows program's copy is read only once the import that may follow it has had its moment.
TEST_F(capture, a_read_opens_under_wines_x_bridge_and_never_while_another_holds_the_clipboard)
{
    w.window_classes = {{X_IMPORT, u"__wine_clipboard_manager"}};
    game_writes(u"Coordinates: 1");
    w.clipboard_held_until = w.tick + IMPORT_SETTLE_MS + 10;
    tick(w.tick + IMPORT_SETTLE_MS);
    EXPECT_EQ(lines_t{}, calls_named({"OpenClipboard"}));
    tick(w.tick + 10);
    EXPECT_EQ(lines_t{"OpenClipboard c1c"}, calls_named({"OpenClipboard"}));
    EXPECT_EQ(lines_t{text_line("Coordinates: 1")}, lines());
}

TEST_F(capture, a_copy_served_again_through_x_counts_as_the_games_only_right_after_the_games_own)
{
    static const struct {
        const char *name;
        std::vector<write_step> steps;
        lines_t reported;
    } cases[] = {
        {"served_again_while_the_games_write_was_unread",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", 5, false}}, {text_line("Coordinates: 1")}},
        {"served_again_before_the_games_write_was_read",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", 5, false, false}, {NULL, nullptr, 10, false}},
         {text_line("Coordinates: 1")}},
        {"served_again_after_a_report",
         {{GAME, u"Coordinates: 1", 0, false}, {X_IMPORT, u"Coordinates: 1", IMPORT_SETTLE_MS + 5, false}},
         {text_line("Coordinates: 1")}},
        {"served_again_at_the_limit",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", RESERVE_MS, false}},
         {text_line("Coordinates: 1")}},
        {"served_again_too_late",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", RESERVE_MS + 1, false}}, {}},
        {"an_older_text_served_after_the_games_write_was_read",
         {{GAME, u"Coordinates: 2", 0, false}, {X_IMPORT, u"Coordinates: 1", IMPORT_SETTLE_MS + 5, false}},
         {text_line("Coordinates: 2")}},
        {"served_twice_while_the_games_write_was_unread",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", 5, true}, {X_IMPORT, u"Coordinates: 1", 5, false}},
         {text_line("Coordinates: 1")}},
        {"served_twice_the_second_too_late",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", 5, true},
          {X_IMPORT, u"Coordinates: 1", RESERVE_MS, false}},
         {}},
        {"copied_in_a_linux_program", {{OTHER, u"hello", 0, false}, {X_IMPORT, u"Coordinates: 2", 5, false}}, {}},
        {"copied_in_a_linux_program_after_a_games_copy",
         {{GAME, u"Coordinates: 1", 0, true}, {X_IMPORT, u"Coordinates: 1", 5, false},
          {X_IMPORT, u"Coordinates: 3", 5, false}},
         {text_line("Coordinates: 1")}},
    };
    w.window_classes = {{X_IMPORT, u"__wine_clipboard_manager"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        last_fix = 0;
        for (const write_step &step : c.steps) {
            tick(w.tick + step.after);  // the timer ticks meanwhile
            w.clipboard_held_until = 0;
            if (step.text)
                clipboard_write_text(step.owner, step.text);
            if (step.text)
                w.queue.push_back(MSG{BRIDGE_WINDOW, WM_CLIPBOARDUPDATE, 0, 0, 0, {0, 0}});
            if (step.read_blocked)
                w.clipboard_held_until = NEVER_TICK;
            if (!step.noticed)
                continue;
            while (!w.queue.empty()) {  // each notice in turn, the later ones still queued
                w.queue.erase(w.queue.begin());
                clipboard_change();
            }
            tick(w.tick);
        }
        w.clipboard_held_until = 0;
        tick(w.tick + PENDING_MS + 1);
        EXPECT_EQ(c.reported, lines());
    }
}
