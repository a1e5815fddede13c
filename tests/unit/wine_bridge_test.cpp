// Start-up, message dispatch and shutdown of the bridge's main thread.

#include "bridge_test.h"

typedef bridge_test main_thread;

static int run_bridge(void) { return WinMain(BRIDGE_INSTANCE, NULL, (LPSTR) "ignored", 10); }

TEST_F(main_thread, each_start_up_failure_has_its_exit_code_and_prints_nothing)
{
    static const struct { failer world::*step; int code; } cases[] = {
        {&world::register_class, 1}, {&world::create_window, 2}, {&world::add_listener, 2}, {&world::create_thread, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        double_reset();
        (w.*c.step).from = 1;
        EXPECT_EQ(c.code, run_bridge());
        EXPECT_EQ("", printed_text());
        EXPECT_EQ(lines_t{}, calls_named({"DestroyWindow", "GetMessageW", "UnregisterHotKey"}));
    }
}

TEST_F(main_thread, runs_until_the_end_of_input_then_shuts_down_in_order)
{
    // Queued before start-up: a command, and the notification of the clipboard as it was at start.
    game_in_front();
    clipboard_write_text(GAME, u"Coordinates: 1 2 3");
    w.queue = {MSG{BRIDGE_WINDOW, WM_HOST_LINE, 0, (LPARAM)_strdup("context 5 1 50\n"), 0, {0, 0}},
               MSG{BRIDGE_WINDOW, WM_CLIPBOARDUPDATE, 0, 0, 0, {0, 0}}};
    w.run_threads = true;
    feed_stdin("");
    EXPECT_EQ(0, run_bridge());
    EXPECT_EQ(lines_t{"{\"bridge_ready\":true}"}, printed_lines());
    EXPECT_EQ(5, epoch);
    EXPECT_EQ(0, w.dry_gets);
    static const lines_t expected = {
        "RegisterClassW",
        "CreateWindowExW 0 QuillnestWineBridge \"\" 0 0 0 0 0 -3 0 400000 0",
        "AddClipboardFormatListener b00",
        "SetTimer b00 1 5 0",
        "CreateThread 0 0 0 0 0",
        "PostMessageW b00 0x10 0",
        "CloseHandle 7e00",
        "DestroyWindow b00",
        "PostQuitMessage 0",
        "UnregisterHotKey b00 0x514e",
        "UnregisterHotKey b00 0x514f",
        "UnregisterHotKey b00 0x5150",
        "UnregisterHotKey b00 0x5151",
        "RemoveClipboardFormatListener b00",
    };
    EXPECT_EQ(expected, calls_named({"RegisterClassW", "CreateWindowExW", "AddClipboardFormatListener", "SetTimer",
                                     "CreateThread", "PostMessageW", "CloseHandle", "DestroyWindow", "PostQuitMessage",
                                     "UnregisterHotKey", "RemoveClipboardFormatListener", "OpenClipboard"}));
    const WNDCLASSW &c = w.window_class;
    EXPECT_TRUE(c.style == 0 && c.lpfnWndProc == procedure && c.cbClsExtra == 0 && c.cbWndExtra == 0 &&
                c.hInstance == BRIDGE_INSTANCE && !c.hIcon && !c.hCursor && !c.hbrBackground && !c.lpszMenuName);
    EXPECT_EQ("QuillnestWineBridge", w.class_name);
}

TEST_F(main_thread, a_failing_message_loop_still_resets_and_shuts_down_with_code_0)
{
    // Queued: an acquisition that gets as far as the first Enter; then GetMessageW fails.
    game_in_front();
    clipboard_write_text(OTHER, u"user text");
    w.queue = {MSG{BRIDGE_WINDOW, WM_HOST_LINE, 0, (LPARAM)_strdup("context 0 1 50\n"), 0, {0, 0}},
               MSG{BRIDGE_WINDOW, WM_HOST_LINE, 0, (LPARAM)_strdup("trigger\n"), 0, {0, 0}},
               MSG{BRIDGE_WINDOW, WM_TIMER, 1, 0, 0, {0, 0}}};
    EXPECT_EQ(0, run_bridge());
    EXPECT_EQ(1, w.dry_gets);
    EXPECT_EQ(2u, w.keys_sent.size());
    EXPECT_TRUE(stage == 0 && target == NULL && saved_count == 0);
    EXPECT_EQ(utf16(u"user text"), clipboard_bytes(CF_UNICODETEXT));
    EXPECT_EQ(5u, calls_named({"UnregisterHotKey", "RemoveClipboardFormatListener"}).size());
}

TEST_F(main_thread, other_messages_go_to_DefWindowProcW_with_its_result_returned)
{
    w.default_result = 77;
    EXPECT_EQ(77, procedure(window, WM_USER + 5, 11, 22));
    EXPECT_EQ(lines_t{"DefWindowProcW b00 0x405 11 22"}, calls_named({"DefWindowProcW"}));
    EXPECT_EQ(0, procedure(window, WM_HOTKEY, 0x514E, 0));
    EXPECT_EQ(0, procedure(window, WM_TIMER, 2, 0));  // any timer identifier runs a tick
    EXPECT_EQ(1u, lines(true).size());
    EXPECT_EQ(1u, calls_named({"DefWindowProcW"}).size());
}

TEST_F(main_thread, close_mid_acquisition_resets_silently_and_destroys_the_window)
{
    clipboard_write_text(OTHER, u"user text");
    ASSERT_EQ(1, save_clipboard());
    stage = 3;
    target = GAME;
    EXPECT_EQ(0, procedure(window, WM_CLOSE, 0, 0));
    EXPECT_TRUE(stage == 0 && target == NULL && passive_after == 0);
    EXPECT_EQ(utf16(u"user text"), clipboard_bytes(CF_UNICODETEXT));
    EXPECT_EQ(lines_t{}, lines());
    EXPECT_EQ((lines_t{"DestroyWindow b00", "PostQuitMessage 0"}), calls_named({"DestroyWindow", "PostQuitMessage"}));
}
