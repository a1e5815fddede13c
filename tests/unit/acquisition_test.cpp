// Acquisition: the stage machine from "trigger" to the game's answer or one error line.

#include "bridge_test.h"

#define RELEASE "Relâchez le raccourci…"
#define ASKED "Position demandée…"
#define COOLING "Le relevé précédent a expiré · patientez un instant avant de recommencer"
#define NOT_IN_FRONT "Report annulé : Star Citizen n’est plus au premier plan"
#define LOST "Acquisition interrompue : le jeu a perdu le premier plan"
#define EXPIRED "Acquisition annulee : touches maintenues ou sequence expiree"
#define NO_ANSWER "Aucune nouvelle position reçue"
#define ENTER_REFUSED "Wine a refuse la touche Entree"
#define KEY_HELD "Acquisition interrompue : touche de saisie maintenue"
#define PASTE_FAILED "Collage de commande Wine impossible"
#define SUBMIT_REFUSED "Wine a refuse la validation"
#define NOT_SAVED "Le presse-papiers Wine ne peut pas être sauvegardé"

class acquisition : public bridge_test {
protected:
    ULONGLONG base = 0;  // tick of the last trigger

    void SetUp() override
    {
        bridge_test::SetUp();
        enabled = 1;
        game_in_front();
        clipboard_write_text(OTHER, u"user text");
        w.filetime = 133444736001234567ull;  // 1700000000.1234567 s after 1970
    }

    // A trigger now, then the default timeline (delay 50): Enter at +5 (up at +75), Ctrl+V at +125
    // (up at +205), the final Enter at +255 (up at +325), until the stage wanted.
    void reach(int wanted)
    {
        static const ULONGLONG stage_at[] = {0, 0, 5, 125, 255};
        base = w.tick;
        command("trigger\n");
        for (int s = 2; s <= wanted; s++)
            tick(base + stage_at[s]);
        ASSERT_EQ(wanted, stage);
    }
};

TEST_F(acquisition, a_trigger_types_the_command_and_reports_the_answer_with_its_timing)
{
    reach(1);
    EXPECT_EQ(base + 1000, deadline);
    tick(base + 5);
    EXPECT_TRUE(stage == 2 && started == base + 5 && deadline == base + 3005 && due == base + 125);
    tick(base + 124);
    EXPECT_EQ(2, stage);
    tick(base + 125);
    EXPECT_TRUE(stage == 3 && due == base + 255);
    tick(base + 254);
    EXPECT_EQ(3, stage);
    tick(base + 255);
    EXPECT_TRUE(stage == 4 && submitted == base + 255 && deadline == base + 2255 && completed == base + 325);
    at(base + 400);
    clipboard_write_text(GAME, u"Coordinates: 1 2 3");
    clipboard_change();
    EXPECT_EQ((lines_t{status_line(RELEASE), status_line(ASKED),
                       "{\"text\":\"Coordinates: 1 2 3\",\"wall_time\":1700000000.123457,\"latency_ms\":145,"
                       "\"macro_ms\":320,\"epoch\":0}"}),
              lines());
    EXPECT_EQ((lines_t{"28 8 +0", "28 10 +70", "29 8 +120", "47 8 +130", "47 10 +200", "29 10 +200", "28 8 +250",
                       "28 10 +320"}),
              events());
    EXPECT_EQ(utf16(u"Coordinates: 1 2 3"), clipboard_bytes(CF_UNICODETEXT));
    EXPECT_TRUE(stage == 0 && target == NULL && watching && passive_after == 0);
    for (const std::string &line : lines(true))
        EXPECT_NE(std::string::npos, line.find("\"busy\":true")) << line;
}

TEST_F(acquisition, keys_still_down_after_1000_ms_end_the_wait_without_touching_the_clipboard)
{
    w.key_state[VK_CONTROL] = (SHORT)0x8000;
    reach(1);
    tick(base + 999);
    EXPECT_EQ(1, stage);
    tick(base + 1000);
    EXPECT_EQ((lines_t{status_line(RELEASE), error_line(EXPIRED)}), lines());
    EXPECT_EQ(lines_t{}, calls_named({"OpenClipboard"}));
}

TEST_F(acquisition, the_next_keystroke_stage_waits_delay_ms_after_the_keys_came_up)
{
    command("context 0 1 10\n");
    reach(1);
    static const struct { ULONGLONG at; int stage; } ticks[] = {{5, 2}, {84, 2}, {85, 3}, {174, 3}, {175, 4}};
    for (const auto &t : ticks) {
        tick(base + t.at);
        EXPECT_EQ(t.stage, stage) << t.at;
    }
}

TEST_F(acquisition, a_trigger_is_refused_while_disabled_running_cooling_down_or_without_the_game)
{
    enabled = 0;
    command("trigger\n");
    enabled = 1;
    stage = 3;
    command("trigger\n");
    EXPECT_EQ(3, stage);
    stage = 0;
    passive_after = w.tick + 1;
    command("trigger\n");
    passive_after = w.tick;
    w.foreground = OTHER;
    command("trigger\n");
    w.foreground = GAME;
    command("trigger\n");
    EXPECT_EQ((lines_t{error_line(COOLING), error_line(NOT_IN_FRONT), status_line(RELEASE)}), lines());
    EXPECT_TRUE(stage == 1 && target == GAME && target_pid == GAME_PID);
}

TEST_F(acquisition, cancel_and_context_end_an_acquisition_silently_and_only_context_cools_down)
{
    command("context 0 1 50\n");
    EXPECT_EQ(0ull, passive_after);
    reach(3);
    command("cancel\n");
    EXPECT_TRUE(stage == 0 && passive_after == 0);
    EXPECT_EQ(utf16(u"user text"), clipboard_bytes(CF_UNICODETEXT));
    at(w.tick + 100);
    reach(3);
    command("context 0 1 50\n");
    EXPECT_TRUE(stage == 0 && passive_after == w.tick + 2000);
    EXPECT_EQ(utf16(u"user text"), clipboard_bytes(CF_UNICODETEXT));
    EXPECT_EQ((lines_t{status_line(RELEASE), status_line(RELEASE)}), lines());
}

TEST_F(acquisition, an_answer_examined_in_the_tick_of_the_deadline_wins_over_it)
{
    reach(4);
    at(base + 2250);
    clipboard_write_text(GAME, u"Coordinates: 1");
    w.open_clipboard.fail_next();  // busy at the signal: examined again at the next tick
    clipboard_change();
    tick(base + 2255);
    EXPECT_EQ((lines_t{status_line(RELEASE), status_line(ASKED),
                       "{\"text\":\"Coordinates: 1\",\"wall_time\":1700000000.123457,\"latency_ms\":1995,"
                       "\"macro_ms\":320,\"epoch\":0}"}),
              lines());
    EXPECT_TRUE(stage == 0 && passive_after == 0);
    EXPECT_NE(std::string::npos, lines(true).back().find("\"busy\":true")) << "the tick's state line came first";
}

TEST_F(acquisition, a_change_made_before_the_final_enter_never_completes_the_acquisition)
{
    reach(3);
    clipboard_write_text(GAME, u"Coordinates: 0");  // its notification comes only after the final Enter
    tick(base + 255);
    clipboard_change();
    EXPECT_EQ(4, stage);
    at(base + 400);
    clipboard_write_text(GAME, u"Coordinates: 1");
    clipboard_change();
    EXPECT_EQ(0, stage);
    EXPECT_EQ(lines_t{"Coordinates: 1"}, lines_t{narrow(last_text)});
}

TEST_F(acquisition, the_clipboard_is_given_back_before_the_error_line_is_printed)
{
    reach(2);
    w.key_state[VK_MENU] = (SHORT)0x8000;
    size_t printed_at_restore = 0;
    w.before_open = [&printed_at_restore] { printed_at_restore = printed_lines().size(); };
    size_t printed_before = printed_lines().size();
    tick(base + 125);
    EXPECT_EQ(printed_before, printed_at_restore);
    EXPECT_EQ(lines_t{error_line(KEY_HELD, true)}, lines_t{printed_lines().back()});
}

struct failure {
    const char *name;
    int stage;             // reached before the cause
    void (*cause)(void);
    ULONGLONG at;          // the tick that fails, after the trigger
    const char *message;
    bool suffix, cool_down;
    const char16_t *clipboard;  // what the clipboard holds in the end
};

static void PrintTo(const failure &f, std::ostream *out) { *out << f.name; }

class acquisition_failure : public acquisition, public testing::WithParamInterface<failure> {};

TEST_P(acquisition_failure, prints_one_error_line_and_gives_the_clipboard_back)
{
    const failure &f = GetParam();
    reach(f.stage);
    f.cause();
    tick(base + f.at);
    lines_t expected = {status_line(RELEASE)};
    if (f.stage == 4)
        expected.push_back(status_line(ASKED));
    expected.push_back(error_line(f.message, f.suffix));
    EXPECT_EQ(expected, lines());
    EXPECT_TRUE(stage == 0 && target == NULL);
    EXPECT_EQ(f.cool_down ? w.tick + 2000 : 0, passive_after);
    EXPECT_EQ(utf16(f.clipboard), clipboard_bytes(CF_UNICODETEXT));
}

static void game_not_in_front(void) { w.foreground = OTHER; }
static void nothing(void) {}

INSTANTIATE_TEST_SUITE_P(
    acquisition, acquisition_failure,
    testing::Values(
        failure{"lost_front_at_stage_1", 1, game_not_in_front, 5, LOST, false, false, u"user text"},
        failure{"lost_front_at_stage_2", 2, game_not_in_front, 125, LOST, true, false, u"user text"},
        failure{"lost_front_at_stage_4", 4, game_not_in_front, 400, LOST, true, true, u"user text"},
        failure{"other_process_at_stage_2", 2, [] { w.window_pids[GAME] = 999; }, 125, LOST, true, false, u"user text"},
        failure{"lost_front_after_the_deadline", 2, game_not_in_front, 3005, LOST, true, false, u"user text"},
        failure{"deadline_at_stage_2", 2, nothing, 3005, EXPIRED, true, false, u"user text"},
        failure{"deadline_at_stage_3", 3, nothing, 3005, EXPIRED, true, false, u"user text"},
        failure{"no_answer_at_stage_4", 4, nothing, 2255, NO_ANSWER, true, true, u"user text"},
        failure{"key_down_at_stage_2", 2, [] { w.key_state[VK_SHIFT] = (SHORT)0x8000; }, 125, KEY_HELD, true, false, u"user text"},
        failure{"key_down_at_stage_3", 3, [] { w.key_state['V'] = (SHORT)0x8000; }, 255, KEY_HELD, true, false, u"user text"},
        failure{"command_replaced_at_stage_2", 2, [] { clipboard_write_text(OTHER, u"copied meanwhile"); }, 125, PASTE_FAILED, true, false,
                u"copied meanwhile"},
        failure{"paste_refused", 2, [] { w.send_input.fail_next(); }, 125, PASTE_FAILED, true, false, u"user text"},
        failure{"enter_refused", 1, [] { w.send_input.fail_next(); }, 5, ENTER_REFUSED, false, false, u"user text"},
        failure{"final_enter_refused", 3, [] { w.send_input.fail_next(); }, 255, SUBMIT_REFUSED, true, true, u"user text"},
        failure{"clipboard_not_saved", 1, [] { w.global_lock.fail_next(); }, 5, NOT_SAVED, false, false, u"user text"}),
    [](const testing::TestParamInfo<failure> &info) { return std::string(info.param.name); });

// The give-back when another program holds the clipboard open at the end of an acquisition.
class give_back : public acquisition {
protected:
    std::string user;  // every format of the user's clipboard with its bytes

    void SetUp() override
    {
        acquisition::SetUp();
        static const char binary[] = {0, 1, '\xFF'};
        clipboard_write(OTHER, {{CF_UNICODETEXT, make_text_block(u"user text")}, {0xC123, make_block(binary, 3)}});
        user = clipboard_state();
    }

    static std::string clipboard_state(void)
    {
        std::string out;
        for (const clip_entry &entry : w.clipboard)
            out += std::to_string(entry.format) + "=" + block_bytes(entry.data) + " ";
        return out;
    }

    static void held_open(bool held) { w.open_clipboard.from = held ? w.open_clipboard.calls + 1 : 0; }
    static bool command_on_clipboard(void) { return clipboard_bytes(CF_UNICODETEXT) == utf16(u"/showlocation"); }
    static bool nothing_held(void) { return !giving_back && !prepared && saved_count == 0 && w.heap.empty(); }

    // Ticks every 10 ms from the clock's present reading up to end.
    void ticks_until(ULONGLONG end)
    {
        for (ULONGLONG t = w.tick + 10; t <= end; t += 10)
            tick(t);
    }
};

struct ending {
    const char *name;
    int stage;
    bool lose_front;        // the game leaves the front first
    const char *host_line;  // the host's line that ends it, or none for the tick at `at`
    ULONGLONG at;
    const char *message;    // its error line, with the suffix; none for a silent end
};

static void PrintTo(const ending &e, std::ostream *out) { *out << e.name; }

class give_back_after : public give_back, public testing::WithParamInterface<ending> {};

TEST_P(give_back_after, a_clipboard_held_open_delays_the_give_back_until_it_is_free)
{
    const ending &e = GetParam();
    reach(e.stage);
    lines();
    held_open(true);
    if (e.lose_front)
        w.foreground = OTHER;
    if (e.host_line)
        command(e.host_line);
    else
        tick(base + e.at);
    EXPECT_EQ(e.message ? lines_t{error_line(e.message, true)} : lines_t{}, lines()) << "the end is told at once";
    EXPECT_TRUE(stage == 0 && giving_back && command_on_clipboard());
    ticks_until(w.tick + 500);
    EXPECT_TRUE(giving_back && command_on_clipboard()) << "the snapshot waits while the clipboard is held";
    held_open(false);
    tick(w.tick + 10);
    EXPECT_EQ(user, clipboard_state());
    tick(w.tick + LATE_COMMAND_MS);
    EXPECT_TRUE(nothing_held());
    EXPECT_EQ(lines_t{}, lines());
}

INSTANTIATE_TEST_SUITE_P(acquisition, give_back_after,
                         testing::Values(ending{"no_answer", 4, false, nullptr, 2255, NO_ANSWER},
                                         ending{"lost_front", 2, true, nullptr, 125, LOST},
                                         ending{"cancel", 3, false, "cancel\n", 0, nullptr},
                                         ending{"context", 4, false, "context 0 1 50\n", 0, nullptr}),
                         [](const testing::TestParamInfo<ending> &info) { return std::string(info.param.name); });

TEST_F(give_back, a_newer_content_ends_the_wait_and_stays)
{
    reach(3);
    held_open(true);
    command("cancel\n");
    tick(w.tick + 10);
    clipboard_write_text(OTHER, u"copied meanwhile");
    tick(w.tick + 10);
    EXPECT_TRUE(!giving_back && watching) << "the wait ends while the clipboard is still held";
    held_open(false);
    tick(w.tick + 10);
    EXPECT_EQ(utf16(u"copied meanwhile"), clipboard_bytes(CF_UNICODETEXT));
    tick(w.tick + LATE_COMMAND_MS);
    EXPECT_TRUE(nothing_held());
}

TEST_F(give_back, the_wait_ends_30_seconds_after_the_first_try)
{
    reach(3);
    held_open(true);
    command("cancel\n");
    ULONGLONG first = w.tick;
    tick(first + 29999);
    EXPECT_TRUE(giving_back);
    tick(first + 30000);
    EXPECT_TRUE(nothing_held());
}

TEST_F(give_back, a_trigger_waits_in_stage_1_and_never_saves_the_command_as_the_users_clipboard)
{
    reach(3);
    held_open(true);
    command("cancel\n");
    reach(1);
    ticks_until(base + 300);
    EXPECT_TRUE(stage == 1 && giving_back);
    held_open(false);
    tick(base + 310);
    ASSERT_EQ(2, stage);
    EXPECT_EQ(utf16(u"user text"), std::string((const char *)saved[0].data, saved[0].size));
    command("cancel\n");
    EXPECT_EQ(user, clipboard_state());

    reach(3);
    held_open(true);
    command("cancel\n");
    reach(1);
    lines();
    ticks_until(base + 1000);
    EXPECT_EQ(lines_t{error_line(NOT_SAVED)}, lines()) << "the keys' second runs out";
    EXPECT_TRUE(giving_back && command_on_clipboard());
    held_open(false);
    tick(w.tick + 10);
    EXPECT_EQ(user, clipboard_state());
    tick(w.tick + LATE_COMMAND_MS);
    EXPECT_TRUE(nothing_held());
}

TEST_F(give_back, a_clipboard_held_open_at_the_loan_is_tried_again_on_the_next_ticks)
{
    reach(1);
    w.open_clipboard.fail_next(2);
    tick(base + 10);
    tick(base + 20);
    EXPECT_EQ(1, stage);
    tick(base + 30);
    EXPECT_EQ(2, stage);
    EXPECT_EQ(lines_t{status_line(RELEASE)}, lines());
}

TEST_F(give_back, at_the_end_of_input_the_window_stays_up_to_2_seconds_for_the_give_back)
{
    for (bool freed : {true, false}) {
        reach(3);
        lines();
        held_open(true);
        procedure(window, WM_CLOSE, 0, 0);
        ULONGLONG closed = w.tick;
        ticks_until(closed + 1000);
        EXPECT_TRUE(w.window_alive && giving_back);
        if (freed)
            held_open(false);
        tick(closed + 1999);
        EXPECT_EQ(!freed, w.window_alive);
        tick(closed + 2000);
        EXPECT_FALSE(w.window_alive);
        EXPECT_TRUE(nothing_held());
        EXPECT_EQ(freed, user == clipboard_state());
        EXPECT_EQ(lines_t{}, lines());
        held_open(false);
        w.window_alive = true;
        closing = 0;
        clipboard_write(OTHER, {{CF_UNICODETEXT, make_text_block(u"user text")}});
        user = clipboard_state();
    }
}

// Formats that Wine lists but that give no data: imported from an X selection whose owner is gone
// (nobody can render them: left out of the loan), or from a slow owner (tried again in stage 1). A
// read of a gone owner's format fails at once; a live owner's only after Wine's wait for X.
#define X_BRIDGE ((HWND)0xC1B)
#define GONE_FAILS_MS 2
#define WINE_WAIT_MS 550
using namespace std::string_literals;
#define NO_FORMAT "Format du presse-papiers non sauvegardable · copiez un texte court avant le report"

struct unrendered {
    const char *name;
    const char *report;      // the host's line before "trigger", or none
    HWND owner;              // who lists the formats
    bool copied_since;       // the user copied again (the same unrendered formats) after the report
    ULONGLONG read_ms;       // how long a read of a text format takes
    ULONGLONG renders_after; // ms after the trigger at which the text formats render; 0: never
    ULONGLONG loan_at;       // ms after the trigger at which the command is placed; 0: never
    std::string kept;        // the clipboard after a cancel
};

static void PrintTo(const unrendered &u, std::ostream *out) { *out << u.name; }

class unrendered_formats : public give_back, public testing::WithParamInterface<unrendered> {};

TEST_P(unrendered_formats, are_left_out_only_when_nobody_can_render_them)
{
    const unrendered &u = GetParam();
    w.window_classes = {{X_BRIDGE, u"__wine_clipboard_manager"}, {OTHER, u"Notepad"}};
    auto import = [&] {
        HGLOBAL text = u.renders_after ? make_text_block(u"user text") : NULL;
        HGLOBAL ansi = u.renders_after ? make_block("user text", 10) : NULL;
        clipboard_write(u.owner, {{CF_UNICODETEXT, text, w.tick + u.renders_after, u.read_ms},
                                  {CF_LOCALE, make_block("\x09\x04\0\0", 4)},
                                  {CF_TEXT, ansi, w.tick + u.renders_after, u.read_ms}});
    };
    import();
    if (u.report)
        command(u.report);
    if (u.copied_since)
        import();
    std::string listed = clipboard_state();
    reach(1);
    // Each read moves the clock on, so every tick starts where the last one ended, until one starts
    // past stage 1's limit.
    for (ULONGLONG started_at = base; stage == 1 && started_at <= base + 1000;)
        tick(started_at = w.tick + 10);
    if (!u.loan_at) {
        EXPECT_EQ((lines_t{status_line(RELEASE), error_line(NO_FORMAT)}), lines());
        EXPECT_EQ(listed, clipboard_state()) << "the clipboard was touched";
        return;
    }
    EXPECT_EQ(base + u.loan_at, started);
    command("cancel\n");
    EXPECT_EQ(u.kept, clipboard_state());
    // Every loan is watched a while for a late command.
    tick(w.tick + LATE_COMMAND_MS);
    EXPECT_TRUE(nothing_held());
}

static const std::string locale_only = "16=\x09\x04\0\0 "s;
static const std::string user_text = "13=u\0s\0e\0r\0 \0t\0e\0x\0t\0\0\0 16=\x09\x04\0\0 1=user text\0 "s;

INSTANTIATE_TEST_SUITE_P(
    acquisition, unrendered_formats,
    testing::Values(
        unrendered{"gone_on_the_hosts_word", "selection 0\n", X_BRIDGE, false, WINE_WAIT_MS, 0, 10, locale_only},
        unrendered{"gone_by_a_failure_at_once", nullptr, X_BRIDGE, false, GONE_FAILS_MS, 0, 10, locale_only},
        unrendered{"gone_at_the_limit", nullptr, X_BRIDGE, false, 250, 0, 10, locale_only},
        unrendered{"live_and_silent", nullptr, X_BRIDGE, false, 251, 0, 0, ""},
        unrendered{"live_and_silent_on_the_hosts_word", "selection 1\n", X_BRIDGE, false, WINE_WAIT_MS, 0, 0, ""},
        unrendered{"failing_at_once_while_the_host_sees_an_owner", "selection 1\n", X_BRIDGE, false, GONE_FAILS_MS, 0,
                   0, ""},
        unrendered{"not_from_x", "selection 0\n", OTHER, false, GONE_FAILS_MS, 0, 0, ""},
        unrendered{"copied_since_the_report", "selection 0\n", X_BRIDGE, true, WINE_WAIT_MS, 0, 0, ""},
        unrendered{"malformed_report", "selection 2\n", X_BRIDGE, false, WINE_WAIT_MS, 0, 0, ""},
        unrendered{"slow_owner", "selection 1\n", X_BRIDGE, false, WINE_WAIT_MS, 1000, 570, user_text},
        unrendered{"slow_owner_with_a_stale_report", "selection 0\n", X_BRIDGE, true, WINE_WAIT_MS, 1000, 570,
                   user_text}),
    [](const testing::TestParamInfo<unrendered> &info) { return std::string(info.param.name); });

// A program between Wine and the desktop's clipboard (gamescope, a clipboard persister) takes every
// copy over and serves its text again, which Wine imports under its X bridge as plain text.
#define HTML_FORMAT 0xC200
#define UTF8_FORMAT 0xC201

struct served_again {
    const char *name;
    HWND owner;             // who writes the clipboard while the command is lent
    std::u16string text;    // what it writes, as plain text
    UINT extra_format;      // a further format it lists, or 0
    bool ours;              // the command is still ours: the paste goes ahead, the give-back follows
};

static void PrintTo(const served_again &s, std::ostream *out) { *out << s.name; }

class through_x : public give_back {
protected:
    void SetUp() override
    {
        give_back::SetUp();
        w.window_classes = {{X_BRIDGE, u"__wine_clipboard_manager"}, {OTHER, u"Notepad"}};
        w.format_names = {{HTML_FORMAT, u"text/html"}, {UTF8_FORMAT, u"text/plain;charset=utf-8"}};
    }

    // The text written as Wine lists an import: Unicode, locale and the two 8-bit forms.
    static void write_text(HWND owner, const std::u16string &text, UINT extra = 0)
    {
        std::vector<clip_entry> entries = {{CF_UNICODETEXT, make_text_block(text)},
                                           {CF_LOCALE, make_block("\x09\x04\0\0", 4)},
                                           {CF_TEXT, make_block(nullptr, text.size() + 1)},
                                           {CF_OEMTEXT, make_block(nullptr, text.size() + 1)}};
        if (extra)
            entries.push_back({extra, make_block(nullptr, 8)});
        clipboard_write(owner, entries);
    }
};

class served_while_lent : public through_x, public testing::WithParamInterface<served_again> {};

TEST_P(served_while_lent, only_the_commands_own_text_served_again_is_taken_for_ours)
{
    const served_again &s = GetParam();
    reach(2);
    write_text(s.owner, s.text, s.extra_format);
    std::string served = clipboard_state();
    clipboard_change();
    tick(base + 125);
    EXPECT_EQ((s.ours ? lines_t{status_line(RELEASE)} : lines_t{status_line(RELEASE), error_line(PASTE_FAILED, true)}),
              lines());
    EXPECT_EQ(s.ours ? 3 : 0, stage);
    command("cancel\n");
    EXPECT_EQ(s.ours ? user : served, clipboard_state());
}

INSTANTIATE_TEST_SUITE_P(
    acquisition, served_while_lent,
    testing::Values(served_again{"command_through_x", X_BRIDGE, u"/showlocation", 0, true},
                    served_again{"command_through_x_with_a_utf8_target", X_BRIDGE, u"/showlocation", UTF8_FORMAT, true},
                    served_again{"command_text_with_a_rich_form", X_BRIDGE, u"/showlocation", HTML_FORMAT, false},
                    served_again{"longer_text_through_x", X_BRIDGE, u"/showlocation2", 0, false},
                    served_again{"users_copy_through_x", X_BRIDGE, u"copied in a browser", 0, false},
                    served_again{"command_text_from_a_windows_program", OTHER, u"/showlocation", 0, false}),
    [](const testing::TestParamInfo<served_again> &info) { return std::string(info.param.name); });

// gamescope, asleep until something woke it, served the copy before ours over the command: the
// command is placed again and pasted 100 ms later, twice at most; what stands then stays.
class lent_text_served : public through_x, public testing::WithParamInterface<int> {};

TEST_P(lent_text_served, over_the_command_gives_way_to_it_twice)
{
    const int serves = GetParam();
    reach(2);
    std::string served;
    for (int serve = 1; serve <= serves; serve++) {
        write_text(X_BRIDGE, u"user text");
        served = clipboard_state();
        clipboard_change();
        tick(base + 25 + 100 * serve);
    }
    tick(base + 125 + 100 * serves);
    EXPECT_EQ(serves <= 2 ? 3 : 0, stage);
    command("cancel\n");
    lines_t expected = {status_line(RELEASE)};
    if (serves > 2)
        expected.push_back(error_line(PASTE_FAILED, true));
    EXPECT_EQ(expected, lines());
    EXPECT_EQ(serves <= 2 ? user : served, clipboard_state());
}

INSTANTIATE_TEST_SUITE_P(acquisition, lent_text_served, testing::Values(1, 2, 3));

// gamescope served the command again in the moment the game answered, over that answer: the
// command is typed once more; a second time, the acquisition ends without a position.
TEST_F(through_x, a_command_served_over_the_answer_is_typed_once_more)
{
    reach(4);
    for (int turn = 0; turn < 2; turn++) {
        write_text(X_BRIDGE, u"/showlocation");
        clipboard_change();
        tick(base + 2255 + 2250 * turn);
        if (turn == 0) {
            EXPECT_EQ(2, stage);
            tick(base + 2375);
            tick(base + 2505);
            ASSERT_EQ(4, stage);
        }
    }
    EXPECT_EQ((lines_t{status_line(RELEASE), status_line(ASKED), status_line(ASKED), error_line(NO_ANSWER, true)}),
              lines());
    EXPECT_EQ(user, clipboard_state());
}

struct late_command {
    const char *name;
    bool answered;          // the acquisition ends with the game's answer, else with a cancel
    bool user_from_x;       // the user's clipboard was itself imported from X when lent
    ULONGLONG served_after; // ms after the end at which the command comes back through X
    bool given_back;        // the user's content goes back again
    bool closes = false;    // the bridge closes before its next tick
};

static void PrintTo(const late_command &l, std::ostream *out) { *out << l.name; }

class served_late : public through_x, public testing::WithParamInterface<late_command> {};

TEST_P(served_late, a_command_served_again_after_the_end_gives_the_users_content_back_within_five_seconds)
{
    const late_command &l = GetParam();
    if (l.user_from_x) {
        write_text(X_BRIDGE, u"user text");
        user = clipboard_state();
    }
    reach(4);
    if (l.answered) {
        clipboard_write_text(GAME, u"Coordinates: 1");
        clipboard_change();
        tick(w.tick + IMPORT_SETTLE_MS);
        EXPECT_EQ(0, stage);
    } else {
        command("cancel\n");
    }
    ULONGLONG ended = w.tick;
    tick(ended + 10);
    write_text(X_BRIDGE, u"/showlocation");
    std::string served = clipboard_state();
    w.tick = ended + l.served_after;
    if (l.closes)
        procedure(window, WM_CLOSE, 0, 0);
    else
        tick(w.tick);
    EXPECT_EQ(l.given_back ? user : served, clipboard_state());
    tick(ended + LATE_COMMAND_MS + 10);
    EXPECT_TRUE(nothing_held());
}

// Wine's X bridge, which owns the user's content, answers no message for a while (as it was seen to
// under a program that takes every copy over): each try at the loan costs one short wait, the
// clipboard counts as busy, and the loan goes ahead once it answers again.
TEST_F(through_x, a_deaf_x_bridge_makes_the_clipboard_busy_without_holding_the_bridge_up)
{
    write_text(X_BRIDGE, u"user text");
    user = clipboard_state();
    w.owner_deaf_until = w.tick + 600;
    reach(1);
    tick(base + 10);
    EXPECT_TRUE(stage == 1 && w.tick == base + 10 + 250) << "one wait of 250 ms, at " << w.tick - base;
    ticks_until(base + 900);
    ASSERT_EQ(4, stage);
    command("cancel\n");
    EXPECT_EQ(user, clipboard_state());
}

// Wine's X bridge, asleep at the paste over the command it imported: the paste waits for it, until
// the typing's deadline (3 s after the loan), then fails.
class deaf_at_the_paste : public through_x, public testing::WithParamInterface<ULONGLONG> {};

TEST_P(deaf_at_the_paste, waits_for_wines_x_bridge_until_the_deadline)
{
    const ULONGLONG deaf_for = GetParam();
    reach(2);
    write_text(X_BRIDGE, u"/showlocation");
    clipboard_change();
    w.owner_deaf_until = base + 125 + deaf_for;
    bool pasted = deaf_for < 2000;
    ticks_until(base + (pasted ? 2600 : 3100));  // before the answer's deadline, after the typing's
    EXPECT_EQ(pasted ? 4 : 0, stage);
    lines_t expected = {status_line(RELEASE)};
    expected.push_back(pasted ? status_line(ASKED) : error_line(PASTE_FAILED, true));
    EXPECT_EQ(expected, lines());
}

INSTANTIATE_TEST_SUITE_P(acquisition, deaf_at_the_paste, testing::Values(400, 5000));

// Wine's X bridge, silent when the watch would end, imports a command served before only once it
// answers again: the watch lasts until then.
TEST_F(through_x, a_command_imported_once_a_silent_x_bridge_answers_again_is_given_back)
{
    reach(4);
    command("cancel\n");
    w.owner_deaf_until = w.tick + LATE_COMMAND_MS + 3000;
    ticks_until(w.owner_deaf_until);
    write_text(X_BRIDGE, u"/showlocation");
    ticks_until(w.owner_deaf_until + SILENT_GRACE_MS / 2);
    EXPECT_EQ(user, clipboard_state());
    ticks_until(w.owner_deaf_until + 2 * SILENT_GRACE_MS);
    EXPECT_TRUE(nothing_held());
}

// The next trigger waits in stage 1 for a slow format of the user's newer copy when the command of
// the last loan comes back over that copy: the last snapshot is what goes back, and what is lent.
TEST_F(through_x, a_command_served_late_while_the_next_loan_waits_is_never_lent_as_the_users)
{
    reach(4);
    command("cancel\n");
    ULONGLONG ended = w.tick;
    clipboard_write(OTHER, {{CF_UNICODETEXT, make_text_block(u"newer"), ended + COOL_DOWN_MS + 300}});
    clipboard_change();
    tick(ended + COOL_DOWN_MS);
    reach(1);
    ticks_until(ended + COOL_DOWN_MS + 100);
    write_text(X_BRIDGE, u"/showlocation");
    ticks_until(ended + COOL_DOWN_MS + 400);
    ASSERT_EQ(4, stage) << "the loan has begun";
    command("cancel\n");
    EXPECT_EQ(user, clipboard_state());
}

INSTANTIATE_TEST_SUITE_P(
    acquisition, served_late,
    testing::Values(late_command{"after_the_answer", true, true, 300, true},
                    late_command{"after_the_give_back", false, true, 300, true},
                    late_command{"at_the_last_moment", true, true, LATE_COMMAND_MS - 1, true},
                    late_command{"too_late", true, true, LATE_COMMAND_MS, false},
                    late_command{"right_before_the_bridge_closes", true, true, 300, true, true},
                    late_command{"when_the_users_content_was_a_windows_programs", true, false, 300, true}),
    [](const testing::TestParamInfo<late_command> &info) { return std::string(info.param.name); });
