// Host line protocol: the reader thread, the command dispatch and "context".

#include "bridge_test.h"

typedef bridge_test host_protocol;

// The posted messages as "message text" (0 for no line); the heap copies are freed.
static lines_t posted(void)
{
    lines_t out;
    for (const MSG &message : w.queue) {
        char head[16];
        snprintf(head, sizeof head, "%#x ", message.message);
        out.push_back(head + (message.lParam ? std::string((char *)message.lParam) : std::string("0")));
        free((void *)message.lParam);
    }
    w.queue.clear();
    return out;
}

TEST_F(host_protocol, context_takes_a_word_at_the_start_and_three_numbers_that_fit_32_bits)
{
    static const struct { const char *line; int epoch, enabled, delay; } cases[] = {
        {"context 7 1 50\n", 7, 1, 50},       {"context 1 1 9\n", 0, 0, 50},
        {"context 1 1 10\n", 1, 1, 10},       {"context 1 1 500\n", 1, 1, 500},
        {"context 1 1 501\n", 0, 0, 50},      {"context 1 -3 50\n", 1, 1, 50},
        {"context -1 0 50\n", -1, 0, 50},     {"context 1 1\n", 0, 0, 50},
        {" context 1 1 50\n", 0, 0, 50},      {"Context 1 1 50\n", 0, 0, 50},
        {"context7 1 50\n", 7, 1, 50},        {"context\t7  1 50 and more\n", 7, 1, 50},
        {"context 7 1 50\r\n", 7, 1, 50},     {"context -2147483648 1 50\n", -2147483647 - 1, 1, 50},
        {"context 2147483648 1 50\n", 0, 0, 50}, {"context 1 1 4294967306\n", 0, 0, 50},
        {"context 1 99999999999999999999 50\n", 0, 0, 50},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        reset_bridge_state();
        window = BRIDGE_WINDOW;
        command(c.line);
        EXPECT_EQ(c.epoch, epoch);
        EXPECT_EQ(c.enabled, enabled);
        EXPECT_EQ(c.delay, delay_ms);
    }
    EXPECT_EQ(lines_t{}, lines());
}

TEST_F(host_protocol, a_negative_epoch_is_printed_with_its_sign)
{
    command("context -1 0 50\n");
    tick(START_TICK);
    EXPECT_EQ(lines_t{"{\"native_state\":true,\"foreground\":false,\"hwnd\":0,\"pid\":0,\"busy\":false,\"epoch\":-1}"},
              lines(true));
}

TEST_F(host_protocol, trigger_and_cancel_are_exact_prefixes_of_the_line)
{
    static const struct { const char *line; bool triggers, cancels; } cases[] = {
        {"trigger\n", true, false},  {"triggerX\n", true, false},  {"trigger", true, false},
        {"Trigger\n", false, false}, {" trigger\n", false, false}, {"trigge\n", false, false},
        {"cancel\n", false, true},   {"cancelled\n", false, true}, {"Cancel\n", false, false},
        {" cancel\n", false, false}, {"\n", false, false},         {"focus\n", false, false},
        {"bind 0 0 256\n", false, false},
    };
    enabled = 1;  // no game in front: a trigger that acts is refused with an error line
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        stage = 0;
        command(c.line);
        EXPECT_EQ(c.triggers ? 1u : 0u, lines().size());
        stage = 2;
        command(c.line);
        EXPECT_EQ(c.cancels ? 0 : 2, stage);
    }
    EXPECT_EQ(lines_t{}, calls_named({"RegisterHotKey", "UnregisterHotKey"}));
}

TEST_F(host_protocol, the_dispatch_frees_every_line_it_is_given)
{
    for (const char *line : {"cancel\n", "no command\n", "context 1 1 50\n"}) {
        char *copy = _strdup(line);
        EXPECT_EQ(0, procedure(window, WM_HOST_LINE, 0, (LPARAM)copy));
        EXPECT_TRUE(heap_freed(copy)) << line;
    }
}

TEST_F(host_protocol, the_reader_posts_every_line_but_focus_reports_then_closes)
{
    feed_stdin("context 1 1 50\nfocus 1\nfocus\ncancel\r\nfocus 0\nfocus -2\nbind 0 0 80");
    EXPECT_EQ(0ul, reader(NULL));
    EXPECT_EQ((lines_t{"0x8001 context 1 1 50\n", "0x8001 focus\n", "0x8001 cancel\n", "0x8001 bind 0 0 80", "0x10 0"}),
              posted());
    EXPECT_EQ(1, host_focus.load());
    EXPECT_EQ(START_TICK, focus_at.load());
}

TEST_F(host_protocol, a_line_longer_than_255_bytes_is_read_in_pieces)
{
    std::string head(255, 'x'), tail = "cancel" + std::string(39, 'y');  // 300 bytes before the line feed
    feed_stdin(head + tail + "\n");
    reader(NULL);
    EXPECT_EQ((lines_t{"0x8001 " + head, "0x8001 " + tail + "\n", "0x10 0"}), posted());
}

TEST_F(host_protocol, a_line_that_cannot_be_posted_is_freed_and_ends_the_reader)
{
    feed_stdin("cancel\ncontext 1 1 50\n");
    w.post_message.fail_next();
    reader(NULL);
    ASSERT_EQ(1u, w.refused_posts.size());
    EXPECT_TRUE(heap_freed((void *)w.refused_posts[0].lParam));
    EXPECT_EQ(lines_t{"0x10 0"}, posted());
}
