// Game watch: the host's focus reports, the game's process, the target check and the state line.

#include "bridge_test.h"

typedef bridge_test game_watch;

#define STATE_OFF "{\"native_state\":true,\"foreground\":false,\"hwnd\":0,\"pid\":0,\"busy\":false,\"epoch\":"

TEST_F(game_watch, a_focus_report_counts_for_300_ms_and_never_from_the_future)
{
    w.foreground = GAME;
    static const struct { long long age; bool in_front; } cases[] = {{0, true}, {300, true}, {301, false}, {-1, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.age);
        w.tick = START_TICK;
        take_focus_report(1);
        w.tick = START_TICK + c.age;
        EXPECT_EQ(c.in_front ? GAME : NULL, foreground_game());
    }
}

TEST_F(game_watch, any_non_zero_focus_report_is_positive_and_zero_ends_focus_at_once)
{
    w.foreground = GAME;
    EXPECT_EQ(NULL, foreground_game()) << "no report yet";
    for (int report : {-2, 0, 1, 0}) {
        take_focus_report(report);
        EXPECT_EQ(report ? GAME : NULL, foreground_game()) << report;
    }
}

TEST_F(game_watch, the_game_is_a_process_whose_image_file_is_named_StarCitizen_exe)
{
    std::u16string longest = u"C:\\" + std::u16string(2028, u'd') + u"\\StarCitizen.exe";  // 2047 units
    const struct { std::u16string path; int game; } cases[] = {
        {u"C:\\Games\\StarCitizen.exe", 1},       {u"Z:\\tmp\\x\\starcitizen.EXE", 1},
        {u"StarCitizen.exe", 1},                   {longest, 1},
        {u"d" + longest, 0},                       {u"C:\\StarCitizen.exe.bak", 0},
        {u"C:\\StarCitizen", 0},                   {u"C:\\StarCitizen.exe\\Launcher.exe", 0},
        {u"C:/Games/StarCitizen.exe", 0},          {u"C:\\Games\\STARC\u0130T\u0130ZEN.EXE", 0},
        {u"C:\\Games\\ StarCitizen.exe", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(narrow((const WCHAR *)c.path.c_str()).substr(0, 60));
        w.images[GAME_PID] = c.path;
        EXPECT_EQ(c.game, game_process(GAME_PID));
    }
    EXPECT_EQ("OpenProcess 0x1000 0 4242", w.calls.front());
    EXPECT_EQ("QueryFullProcessImageNameW 0 2048", w.calls[1]);
}

TEST_F(game_watch, a_process_that_cannot_be_opened_or_read_is_not_the_game)
{
    w.unopenable = {GAME_PID};
    EXPECT_EQ(0, game_process(GAME_PID));
    w.unopenable.clear();
    w.unqueryable = {GAME_PID};
    EXPECT_EQ(0, game_process(GAME_PID));
    EXPECT_EQ(0, game_process(12345));
}

TEST_F(game_watch, the_target_check_wants_the_same_window_and_the_same_process)
{
    game_in_front();
    EXPECT_EQ(0, target_check(GAME)) << "no target";
    target = GAME;
    target_pid = GAME_PID;
    EXPECT_EQ(1, target_check(GAME));
    EXPECT_EQ(0, target_check(NULL));
    EXPECT_EQ(0, target_check(OTHER));
    w.window_pids[GAME] = 999;
    EXPECT_EQ(0, target_check(GAME));
}

TEST_F(game_watch, state_lines_start_at_the_first_tick_and_stay_150_ms_apart)
{
    static const struct { ULONGLONG at; bool line; } ticks[] = {
        {0, true}, {5, false}, {149, false}, {150, true}, {299, false}, {305, true}, {454, false}, {455, true}};
    for (const auto &t : ticks) {
        tick(START_TICK + t.at);
        EXPECT_EQ(t.line ? 1u : 0u, lines(true).size()) << t.at;
    }
}

TEST_F(game_watch, the_state_line_shows_the_game_window_its_pid_busy_and_epoch)
{
    tick(START_TICK);
    epoch = 7;
    game_in_front();
    stage = 4;  // waiting for the game's answer: a tick has nothing to do but watch
    target = GAME;
    target_pid = GAME_PID;
    deadline = START_TICK + 5000;
    tick(START_TICK + 150);
    stage = 0;
    w.foreground = OTHER;
    tick(START_TICK + 300);
    EXPECT_EQ((lines_t{STATE_OFF "0}", "{\"native_state\":true,\"foreground\":true,\"hwnd\":27198,\"pid\":4242,\"busy\":true,\"epoch\":7}",
                       STATE_OFF "7}"}),
              lines(true));
}

TEST_F(game_watch, an_idle_tick_with_no_line_due_does_nothing_at_all)
{
    game_in_front();
    tick(START_TICK);
    size_t calls = w.calls.size();
    int queries = w.foreground_queries;
    tick(START_TICK + 149);
    EXPECT_EQ(calls, w.calls.size());
    EXPECT_EQ(queries, w.foreground_queries);
    clipboard_pending = 1;  // a change waits: every tick looks at the game
    tick(START_TICK + 149);
    EXPECT_EQ(queries + 1, w.foreground_queries);
}
