#include "wine_clipboard_windows.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

// Two X connections of the desktop process, with the id mask that Xorg and Xvfb give every client.
const std::vector<XClientRange> desktop = {{0x00a00000, 0x001fffff}, {0x01200000, 0x001fffff}};

struct ChildCase {
    const char *what;
    RootChild child;
    bool chosen;
};

void PrintTo(const ChildCase &c, std::ostream *os) { *os << c.what; }

class ClipboardWindowChoice : public testing::TestWithParam<ChildCase> {};

TEST_P(ClipboardWindowChoice, takes_the_desktop_process_unmapped_1x1_input_output_windows_only)
{
    const ChildCase &c = GetParam();
    // Among other children, so that the choice is made of each on its own.
    std::vector<RootChild> children = {{0x00e00001, 800, 600, true, true}, c.child, {0x00c00002, 1, 1, false, true}};
    auto chosen = wine_clipboard_windows(desktop, children);
    EXPECT_EQ(chosen, c.chosen ? std::vector<uint32_t>{c.child.id} : std::vector<uint32_t>{});
}

INSTANTIATE_TEST_SUITE_P(Table, ClipboardWindowChoice, testing::Values(
    ChildCase{"a clipboard window of the first connection", {0x00a00004, 1, 1, false, true}, true},
    ChildCase{"one of the second connection", {0x012000c1, 1, 1, false, true}, true},
    ChildCase{"the last id of a range", {0x00bfffff, 1, 1, false, true}, true},
    ChildCase{"the game's window: mapped and large", {0x00a0001c, 1024, 768, true, true}, false},
    ChildCase{"1x1 but mapped", {0x00a00005, 1, 1, true, true}, false},
    ChildCase{"unmapped but wider", {0x00a00006, 2, 1, false, true}, false},
    ChildCase{"unmapped but taller", {0x00a00007, 1, 2, false, true}, false},
    ChildCase{"InputOnly", {0x00a00008, 1, 1, false, false}, false},
    ChildCase{"another client's, beside the first range", {0x00c00004, 1, 1, false, true}, false},
    ChildCase{"the server's own (no client bits)", {0x00000021, 1, 1, false, true}, false}));

TEST(ClipboardWindowChoice, none_without_the_desktop_process_clients_and_the_first_of_each_with_them)
{
    std::vector<RootChild> children = {{0x00a00001, 1, 1, false, false}, {0x01200003, 1, 1, false, true},
                                       {0x00a00002, 1, 1, false, true}, {0x01200001, 1, 1, false, true},
                                       {0x00a00009, 1, 1, false, true}};
    EXPECT_TRUE(wine_clipboard_windows({}, children).empty());
    EXPECT_EQ(wine_clipboard_windows(desktop, children), (std::vector<uint32_t>{0x01200003, 0x00a00002}));
}

}  // namespace
