#include "gnome_extension.h"
#include "witness.h"

#include <gtest/gtest.h>

TEST(GameName, is_starcitizen_exe_in_any_case_and_nothing_around_it)
{
    for (const char *name : {"starcitizen.exe", "StarCitizen.exe", "STARCITIZEN.EXE"})
        EXPECT_TRUE(is_game_name(name)) << name;
    for (const char *name : {"", "starcitizen", "starcitizen.exe ", " starcitizen.exe", "rsi launcher.exe",
                             "starcitizen.exe.so", "xstarcitizen.exe", "wine"})
        EXPECT_FALSE(is_game_name(name)) << '"' << name << '"';
}

TEST(WindowKind, names_the_game_and_a_nested_gamescope_in_any_case)
{
    EXPECT_EQ(window_kind("StarCitizen.exe"), ActiveWindow::game);
    for (const char *name : {"gamescope", "Gamescope"})
        EXPECT_EQ(window_kind(name), ActiveWindow::nested_display) << name;
    for (const char *name : {"gamescope-wl", "gamescopectl", "xmessage", ""})
        EXPECT_EQ(window_kind(name), ActiveWindow::other) << '"' << name << '"';
}

struct ChoiceCase {
    const char *asked;  // --witness, "" for none
    bool wayland, wlr, x, kwin;
    const char *chosen;  // "x", "wlr", "kwin", "gnome-shell", or "" for none
    bool says_xwayland_works;
    bool gnome_shell = false;
};

void PrintTo(const ChoiceCase &c, std::ostream *os)
{
    *os << "--witness=" << c.asked << " wayland=" << c.wayland << " wlr=" << c.wlr << " x=" << c.x
        << " kwin=" << c.kwin << " gnome-shell=" << c.gnome_shell;
}

class WitnessChoiceTable : public testing::TestWithParam<ChoiceCase> {};

TEST_P(WitnessChoiceTable, follows_the_option_then_what_the_session_offers)
{
    const ChoiceCase &c = GetParam();
    auto asked = *c.asked ? witness_kind(c.asked) : std::nullopt;
    ASSERT_EQ(asked.has_value(), *c.asked != '\0');
    WitnessChoice choice = choose_witness(asked, {c.wayland, c.wlr, c.x, c.kwin, c.gnome_shell});
    const char *names[] = {"x", "wlr", "kwin", "gnome-shell"};
    const char *chosen = choice.kind ? names[(int)*choice.kind] : "";
    EXPECT_STREQ(chosen, c.chosen);
    EXPECT_EQ(choice.message.find("XWayland mode") != std::string::npos, c.says_xwayland_works) << choice.message;
    if (!choice.kind) {
        EXPECT_FALSE(choice.message.empty());  // why there is none
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WitnessChoiceTable, testing::Values(
    // asked   wayland wlr    x      kwin   chosen  note
    ChoiceCase{"",     false, false, true,  false, "x",    false},  // an X session
    ChoiceCase{"",     true,  true,  true,  false, "wlr",  false},  // sway with XWayland: wlr sees both kinds of game
    ChoiceCase{"",     true,  true,  false, false, "wlr",  false},  // sway without XWayland
    ChoiceCase{"",     true,  false, true,  true,  "kwin", false},  // Plasma on Wayland
    ChoiceCase{"",     true,  false, false, true,  "kwin", false},  // Plasma without XWayland
    ChoiceCase{"",     false, false, true,  true,  "x",    false},  // Plasma on X: X sees every window there
    ChoiceCase{"",     true,  false, true,  false, "x",    true},   // GNOME: no Wayland witness, said once
    ChoiceCase{"",     true,  false, false, false, "",     true},   // no witness at all
    ChoiceCase{"",     false, false, false, false, "",     false},  // no session
    ChoiceCase{"x",    true,  true,  true,  false, "x",    false},  // the option wins over the offer
    ChoiceCase{"x",    true,  false, true,  true,  "x",    false},
    ChoiceCase{"x",    true,  false, true,  false, "x",    false},  // asked for: no note
    ChoiceCase{"x",    true,  true,  false, false, "",     false},
    ChoiceCase{"wlr",  true,  true,  false, false, "wlr",  false},
    ChoiceCase{"wlr",  true,  false, true,  true,  "",     false},  // not offered: no fall-back to X or KWin
    ChoiceCase{"wlr",  false, false, true,  false, "",     false},
    ChoiceCase{"kwin", false, false, true,  true,  "kwin", false},  // asked for on Plasma's X session
    ChoiceCase{"kwin", true,  false, true,  false, "",     false},  // not offered: no fall-back to X
    ChoiceCase{"",     true,  false, true,  false, "gnome-shell", false, true},  // GNOME on Wayland
    ChoiceCase{"",     false, false, true,  false, "x",    false, true},  // GNOME on X: X sees every window there
    ChoiceCase{"gnome-shell", true, false, true, false, "", false}));  // not offered: no fall-back to X

TEST(WitnessKind, names_only_the_witnesses_there_are)
{
    EXPECT_EQ(witness_kind("x"), WitnessKind::x);
    EXPECT_EQ(witness_kind("wlr"), WitnessKind::wlr);
    EXPECT_EQ(witness_kind("kwin"), WitnessKind::kwin);
    EXPECT_EQ(witness_kind("gnome-shell"), WitnessKind::gnome_shell);
    for (const char *name : {"", "X", "ewmh", "wlroots", "gnome", "KWin", "kde", "mutter"})
        EXPECT_FALSE(witness_kind(name)) << name;
}

TEST(GnomeExtension, lists_the_running_shell_and_adds_itself_to_the_enabled_list)
{
    const std::string metadata = R"({"uuid": "u@b", "shell-version": ["45", "48"]})";
    EXPECT_EQ(gnome_extension::metadata_listing(metadata, "48.7"), metadata);
    EXPECT_EQ(gnome_extension::metadata_listing(metadata, "50.beta"),
              R"({"uuid": "u@b", "shell-version": ["45", "48", "50"]})");
    EXPECT_EQ(gnome_extension::metadata_listing(metadata, ""), metadata);
    EXPECT_EQ(gnome_extension::enabled_with("@as []\n", "u@b"), "['u@b']");
    EXPECT_EQ(gnome_extension::enabled_with("['a@b', 'c@d']\n", "u@b"), "['a@b', 'c@d', 'u@b']");
}

// Each shell gets the build that it loads, and only that build's metadata lists it: a shell that
// finds the other build installed (after an upgrade from 44 to 45) takes it for out of date, and
// bridge-host writes the right one, while one listed by the wrong build would fail to load it.
TEST(GnomeExtension, each_shell_gets_the_build_that_it_loads_and_only_that_build_lists_it)
{
    using gnome_extension::Build;
    const std::pair<const char *, Build> builds[] = {
        {"42.9", Build::none}, {"43.9", Build::legacy}, {"44.beta", Build::legacy}, {"45.0", Build::modules},
        {"49.1", Build::modules}, {"", Build::modules}};
    for (auto [version, build] : builds)
        EXPECT_EQ(gnome_extension::build_for(version), build) << '"' << version << '"';

    auto listed = [](const std::string &metadata, int major) {
        size_t list = metadata.find("\"shell-version\"");
        std::string versions = metadata.substr(list, metadata.find(']', list) - list);
        return versions.find('"' + std::to_string(major) + '"') != std::string::npos;
    };
    for (int major = 43; major <= 49; ++major) {
        bool legacy = gnome_extension::build_for(std::to_string(major)) == Build::legacy;
        EXPECT_EQ(listed(gnome_extension::legacy_metadata_json, major), legacy) << major;
        EXPECT_EQ(listed(gnome_extension::metadata_json, major), !legacy) << major;
    }
}
