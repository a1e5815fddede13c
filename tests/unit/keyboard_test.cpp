// Keyboard: synthetic keys into the game, the released-keys test and the four hotkeys.

#include "bridge_test.h"

typedef bridge_test keyboard;

TEST_F(keyboard, released_asks_the_position_key_first_then_seven_keys_and_stops_at_one_down)
{
    const std::vector<int> seven = {17, 18, 16, 91, 92, 13, 86};
    const struct { int position, down; SHORT state; int result; std::vector<int> queries; } cases[] = {
        {0, 0, 0, 1, seven},
        {80, 0, 0, 1, {80, 17, 18, 16, 91, 92, 13, 86}},
        {17, 0, 0, 1, {17, 17, 18, 16, 91, 92, 13, 86}},
        {0, 18, (SHORT)0x8000, 0, {17, 18}},
        {80, 80, (SHORT)0x8000, 0, {80}},
        {0, 86, (SHORT)0x8001, 0, seven},
        {0, 17, 1, 1, seven},  // pressed and let go since the last query
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        position_vk = c.position;
        w.key_state = {{c.down, c.state}};
        w.key_queries.clear();
        EXPECT_EQ(c.result, released());
        EXPECT_EQ(c.queries, w.key_queries);
    }
}

TEST_F(keyboard, a_key_event_carries_the_scan_code_and_the_key_s_own_virtual_key)
{
    EXPECT_EQ(1, key_event(VK_RETURN, 0));
    EXPECT_EQ(1, key_event(0x10000 | VK_CONTROL, 1));  // only the low 16 bits name the key
    EXPECT_EQ(0, key_event('A', 0));                    // no scan code: nothing is sent
    w.send_input.fail_next();
    EXPECT_EQ(0, key_event('V', 0));
    EXPECT_EQ((lines_t{"28 8 +0", "29 10 +0"}), events());  // marked "odd" if the virtual key were not its own
    EXPECT_EQ(VK_CONTROL, w.keys_sent[1].vk);
    EXPECT_EQ(3u, calls_named({"SendInput"}).size());
}

class typing : public bridge_test {
protected:
    void SetUp() override
    {
        bridge_test::SetUp();
        ready();
    }
    void ready()
    {
        game_in_front();
        target = GAME;
        target_pid = GAME_PID;
    }
};

TEST_F(typing, enter_is_held_70_ms_and_ctrl_leads_v_by_10_ms_with_v_held_70_ms)
{
    EXPECT_EQ(1, send_keys(TYPE_ENTER));
    EXPECT_EQ((lines_t{"28 8 +0", "28 10 +70"}), events());
    w.keys_sent.clear();
    EXPECT_EQ(1, send_keys(TYPE_PASTE));
    EXPECT_EQ((lines_t{"29 8 +0", "47 8 +10", "47 10 +80", "29 10 +80"}), events());
}

TEST_F(typing, nothing_is_typed_unless_the_target_is_the_game_window_in_front)
{
    static void (*const conditions[])(void) = {
        [] { target = NULL; }, [] { w.foreground = OTHER; }, [] { w.window_pids[GAME] = 999; },
        [] { take_focus_report(0); }, [] { w.tick += 301; }, [] { w.scan_codes.erase(VK_RETURN); }};
    for (auto condition : conditions) {
        SCOPED_TRACE(&condition - conditions);
        condition();
        EXPECT_EQ(0, send_keys(TYPE_ENTER));
        if (w.scan_codes.count(VK_RETURN)) {
            EXPECT_EQ(0, send_keys(TYPE_PASTE));
        }
        EXPECT_TRUE(w.keys_sent.empty() && w.sleeps.empty());
        ready();
        w.window_pids[GAME] = GAME_PID;
    }
}

TEST_F(typing, a_refused_event_stops_the_keys_but_a_pressed_ctrl_always_comes_up)
{
    static const struct { int mode, refused; lines_t sent; } cases[] = {
        {TYPE_ENTER, 1, {}},
        {TYPE_ENTER, 2, {"28 8 +0"}},
        {TYPE_PASTE, 1, {}},
        {TYPE_PASTE, 2, {"29 8 +0", "29 10 +10"}},
        {TYPE_PASTE, 3, {"29 8 +0", "47 8 +10", "29 10 +80"}},
        {TYPE_PASTE, 4, {"29 8 +0", "47 8 +10", "47 10 +80"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        w.keys_sent.clear();
        w.send_input = failer();
        w.send_input.at = {c.refused};
        EXPECT_EQ(0, send_keys(c.mode));
        EXPECT_EQ(c.sent, events());
    }
}

TEST_F(typing, the_game_leaving_the_front_during_the_ctrl_lead_sends_ctrl_up_and_no_v)
{
    w.on_sleep = [](DWORD) { w.foreground = OTHER; };
    EXPECT_EQ(0, send_keys(TYPE_PASTE));
    EXPECT_EQ((lines_t{"29 8 +0", "29 10 +10"}), events());
}

TEST_F(keyboard, bind_replaces_a_slot_with_no_repeat_added_and_vk_0_unbinds)
{
    command("bind 0 2 80\n");
    EXPECT_EQ(80, position_vk);
    command("bind 2 15 255\n");
    command("bind 2 0 0\n");
    EXPECT_EQ(80, position_vk);
    command("bind 0 0 0\n");
    EXPECT_EQ(0, position_vk);
    static const lines_t expected = {"UnregisterHotKey b00 0x514e", "RegisterHotKey b00 0x514e 0x4002 80",
                                     "UnregisterHotKey b00 0x5150", "RegisterHotKey b00 0x5150 0x400f 255",
                                     "UnregisterHotKey b00 0x5150", "UnregisterHotKey b00 0x514e"};
    EXPECT_EQ(expected, calls_named({"RegisterHotKey", "UnregisterHotKey"}));
    EXPECT_EQ(lines_t{}, lines());
}

TEST_F(keyboard, a_refused_hotkey_prints_the_error_code_and_still_sets_the_position_key)
{
    epoch = 3;
    w.register_hotkey.fail_next();
    command("bind 0 1 80\n");
    EXPECT_EQ(lines_t{"{\"error\":\"Raccourci refuse par Wine (erreur 1409)\",\"epoch\":3}"}, lines());
    EXPECT_EQ(80, position_vk);
}

TEST_F(keyboard, a_bind_out_of_range_changes_nothing)
{
    position_vk = 7;
    for (const char *line : {"bind 4 0 80\n", "bind -1 0 80\n", "bind 0 16 80\n", "bind 0 -1 80\n", "bind 0 0 256\n",
                             "bind 0 0 -5\n", "bind 0 2\n", " bind 0 2 80\n", "bind 0 2 4294967376\n"})
        command(line);
    EXPECT_EQ(7, position_vk);
    EXPECT_EQ(lines_t{}, calls_named({"RegisterHotKey", "UnregisterHotKey"}));
    EXPECT_EQ(lines_t{}, lines());
}

TEST_F(keyboard, a_hotkey_press_is_reported_while_enabled_with_the_game_in_front)
{
    enabled = 1;
    game_in_front();
    stage = 2;  // presses are reported during an acquisition too
    for (WPARAM id : {0x514Eull, 0x514Full, 0x5150ull, 0x5151ull, 0x5152ull, 0x514Dull, 0x10000514Full})
        procedure(window, WM_HOTKEY, id, 0);
    static void (*const conditions[])(void) = {
        [] { enabled = 0; }, [] { take_focus_report(0); }, [] { w.foreground = OTHER; }, [] { w.tick += 301; }};
    for (auto condition : conditions) {
        enabled = 1;
        w.foreground = GAME;
        take_focus_report(1);
        condition();
        procedure(window, WM_HOTKEY, 0x514E, 0);
    }
    EXPECT_EQ((lines_t{"{\"native_action\":\"position\",\"epoch\":0}", "{\"native_action\":\"next\",\"epoch\":0}",
                       "{\"native_action\":\"previous\",\"epoch\":0}", "{\"native_action\":\"survey\",\"epoch\":0}",
                       "{\"native_action\":\"next\",\"epoch\":0}"}),
              lines());
}

TEST_F(keyboard, a_reported_hotkey_is_reported_again_only_once_a_tick_has_seen_its_key_up)
{
    enabled = 1;
    game_in_front();
    const LPARAM ctrl_p = MAKELPARAM(2, 'P'), alt_n = MAKELPARAM(1, 'N');
    w.key_state = {{'P', (SHORT)0x8000}, {'N', (SHORT)0x8000}};
    procedure(window, WM_HOTKEY, 0x514E, ctrl_p);
    procedure(window, WM_HOTKEY, 0x514F, alt_n);  // each slot holds its own key
    tick(START_TICK + 10);
    procedure(window, WM_HOTKEY, 0x514E, ctrl_p);  // P still down: Wine's auto-repeat
    w.key_state.erase('P');
    tick(START_TICK + 20);
    procedure(window, WM_HOTKEY, 0x514E, ctrl_p);
    procedure(window, WM_HOTKEY, 0x514F, alt_n);
    command("bind 1 1 78\n");  // a new binding's first press counts
    procedure(window, WM_HOTKEY, 0x514F, alt_n);
    const std::string position = "{\"native_action\":\"position\",\"epoch\":0}",
                      next = "{\"native_action\":\"next\",\"epoch\":0}";
    EXPECT_EQ((lines_t{position, next, position, next}), lines());
}
