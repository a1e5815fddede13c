#include "game_finder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;
using Entries = std::vector<std::string>;

struct EnvironCase {
    const char *what;
    std::string data;
    Entries entries;
};

void PrintTo(const EnvironCase &c, std::ostream *os)
{
    *os << c.what;
}

class Environ : public testing::TestWithParam<EnvironCase> {};

TEST_P(Environ, keeps_well_formed_entries_first_value_first)
{
    EXPECT_EQ(parse_environ(GetParam().data), GetParam().entries);
}

using namespace std::string_literals;
const std::string huge(1 << 20, 'x');

INSTANTIATE_TEST_SUITE_P(Table, Environ, testing::Values(
    EnvironCase{"empty", "", {}},
    EnvironCase{"usual", "A=1\0B=2\0"s, {"A=1", "B=2"}},
    EnvironCase{"no final NUL", "A=1\0B=2"s, {"A=1", "B=2"}},
    EnvironCase{"no equals sign or no name", "JUNK\0=x\0A=1\0\0"s, {"A=1"}},
    EnvironCase{"duplicate keeps the first", "A=1\0A=2\0AB=3\0"s, {"A=1", "AB=3"}},
    EnvironCase{"empty value and equals in value", "A=\0B=x=y\0"s, {"A=", "B=x=y"}},
    EnvironCase{"huge value", "A=" + huge + "\0B=1"s, {"A=" + huge, "B=1"}}));

// A /proc-like tree: numbered folders with comm, environ, exe and ns/mnt as the kernel has them.
class ProcTree : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/game_finder_test.XXXXXX";
        root_ = mkdtemp(pattern);
        loader_ = root_ / "wine64";
        std::ofstream(loader_) << "";
        fs::create_directories(root_ / "self" / "ns");
        fs::create_symlink("mnt:[1]", root_ / "self" / "ns" / "mnt");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A process; an empty comm or environ leaves that file out, an empty mnt the namespace link.
    // Its stat has the given state letter and parent, after the name as the kernel writes it.
    void process(const std::string &pid, const std::string &comm, const std::string &environ,
                 const std::string &mnt = "mnt:[1]", const std::string &exe_suffix = "", char state = 'S',
                 const std::string &parent = "1")
    {
        fs::path dir = root_ / pid;
        fs::create_directories(dir / "ns");
        if (!comm.empty())
            std::ofstream(dir / "comm") << comm << "\n";
        std::ofstream(dir / "stat") << pid << " (" << comm << ") " << state << " " << parent << " 1 0 -1 4194560\n";
        if (!environ.empty())
            std::ofstream(dir / "environ", std::ios::binary) << environ;
        if (!mnt.empty())
            fs::create_symlink(mnt, dir / "ns" / "mnt");
        fs::create_symlink(loader_.string() + exe_suffix, dir / "exe");
    }

    // Another thread of that process, with its own name and state.
    void thread(const std::string &pid, const std::string &tid, const std::string &name, char state)
    {
        fs::path dir = root_ / pid / "task" / tid;
        fs::create_directories(dir);
        std::ofstream(dir / "stat") << tid << " (" << name << ") " << state << " 1 1 0 -1 4194624\n";
    }

    std::vector<GameProcess> games(uid_t uid = getuid()) const { return find_games(root_.string(), uid); }

    fs::path root_, loader_;
};

// What the finder says of a game: pid, prefix, loader, settings, foreign reason, container.
using Seen = std::tuple<pid_t, std::string, std::string, Entries, std::string, std::string>;

std::string described(const std::optional<Container> &container)
{
    return container ? container->kind + " " + container->app + " " + std::to_string(container->inner_pid) : "";
}

TEST_F(ProcTree, finds_this_users_games_with_their_prefix_loader_settings_and_container)
{
    process("40", "StarCitizen.exe",
            "HOME=/home/p\0WINEPREFIX=/games/sc pfx\0WINEESYNC=1\0LD_PRELOAD=/o.so\0LD_LIBRARY_PATH=/w\0XWINE=1\0"s);
    process("7", "StarCitizen.exe", "HOME=/home/p\0WINELOADER=/opt/wine/bin/wine\0WINELOADERNOEXEC=1\0"s);
    process("8", "StarCitizen.exe", "JUNK\0HOME=/home/q\0"s, "", "-preloader");  // no namespace link; the preloader
    // In containers (another mount namespace): the loader is the container's, not looked for here.
    process("12", "StarCitizen.exe", "WINEPREFIX=/p\0WINELOADER=/inside/wine\0XDG_RUNTIME_DIR=/run/in\0DISPLAY=:99.0\0"s,
            "mnt:[2]");
    std::ofstream(root_ / "12" / "status") << "Name:\tStarCitizen.exe\nNSpid:\t12\t3\t2\nPPid:\t1\n";
    process("13", "StarCitizen.exe", "WINEPREFIX=/p\0FLATPAK_ID=org.from.env\0"s, "mnt:[2]");
    fs::create_directories(root_ / "13" / "root");
    std::ofstream(root_ / "13" / "root" / ".flatpak-info")
        << "[Instance]\nname=wrong\n[Application]\nruntime=x\nname = com.usebottles.bottles\n";
    process("14", "StarCitizen.exe", "WINEPREFIX=/p\0FLATPAK_ID=com.from.env\0"s, "mnt:[2]");
    process("15", "StarCitizen.exe", "WINEPREFIX=/p\0container=pressure-vessel\0"s, "mnt:[2]");
    process("16", "StarCitizen.exe", "WINEPREFIX=/p\0PRESSURE_VESSEL_RUNTIME=x\0"s, "mnt:[2]");
    process("9", "wineserver", "WINEPREFIX=/x\0"s);
    process("10", "StarCitizen.exe", "");   // environment unreadable
    process("11", "", "WINEPREFIX=/x\0"s);  // no name
    process("self2", "StarCitizen.exe", "WINEPREFIX=/x\0"s);
    // Ended and not reaped yet, a zombie (Z) or dead (X) with no thread left running: the name stays.
    process("50", "StarCitizen.exe", "WINEPREFIX=/z\0"s, "mnt:[1]", "", 'Z');
    process("51", "StarCitizen.exe", "WINEPREFIX=/z\0"s, "mnt:[1]", "", 'X');
    process("52", "StarCitizen.exe", "WINEPREFIX=/z\0"s, "mnt:[1]", "", 'Z');
    thread("52", "53", "render", 'Z');
    // Its main thread ended while another runs, whose name would fool a reader of the first ')':
    // still the game, though its environment cannot be read any more (as the kernel has it).
    process("54", "StarCitizen.exe", "", "mnt:[1]", "", 'Z');
    thread("54", "55", "sc) Z (main", 'S');
    std::vector<Seen> seen;
    for (const auto &game : games())
        seen.emplace_back(game.pid, game.prefix, game.loader, game.settings, game.foreign, described(game.container));
    const std::string here = loader_.string();
    EXPECT_EQ(seen, (std::vector<Seen>{
        {7, "/home/p/.wine", "/opt/wine/bin/wine", {"WINELOADER=/opt/wine/bin/wine", "WINEPREFIX=/home/p/.wine"},
         "its Wine (/opt/wine/bin/wine) is not on this system", ""},
        {8, "/home/q/.wine", here, {"WINEPREFIX=/home/q/.wine"}, "", ""},
        {12, "/p", "/inside/wine", {"WINEPREFIX=/p", "WINELOADER=/inside/wine", "DISPLAY=:99.0", "XDG_RUNTIME_DIR=/run/in"},
         "", "plain  2"},
        {13, "/p", here, {"WINEPREFIX=/p"}, "", "flatpak com.usebottles.bottles 0"},
        {14, "/p", here, {"WINEPREFIX=/p"}, "", "flatpak com.from.env 0"},
        {15, "/p", here, {"WINEPREFIX=/p"}, "", "steam-runtime  0"},
        {16, "/p", here, {"WINEPREFIX=/p"}, "", "steam-runtime  0"},
        {40, "/games/sc pfx", here, {"WINEPREFIX=/games/sc pfx", "WINEESYNC=1", "LD_LIBRARY_PATH=/w"}, "", ""}}));

    EXPECT_TRUE(game_alive(root_.string(), 40));
    EXPECT_TRUE(game_alive(root_.string(), 54));
    for (pid_t ended : {50, 51, 52})
        EXPECT_FALSE(game_alive(root_.string(), ended)) << ended;
    EXPECT_FALSE(game_alive(root_.string(), 9));
    EXPECT_FALSE(game_alive(root_.string(), 41));
    EXPECT_TRUE(games(getuid() + 1).empty()) << "another user's processes are not read";
    EXPECT_TRUE(find_games("/nonexistent/proc", getuid()).empty());
}

TEST(GameFinder, same_display_ignores_the_screen_and_the_local_forms)
{
    EXPECT_TRUE(same_display(":1", ":1.0"));
    EXPECT_TRUE(same_display("unix:1", ":1"));
    EXPECT_TRUE(same_display("localhost:1.0", ":1"));
    EXPECT_TRUE(same_display("", ":1"));
    EXPECT_FALSE(same_display(":1", ":10"));
    EXPECT_FALSE(same_display("other:1", ":1"));
}

TEST_F(ProcTree, a_container_may_name_our_display_otherwise)
{
    const fs::path x11 = root_ / "x11";
    fs::create_directories(x11);
    std::ofstream(x11 / "X0") << "";
    // As Flatpak does it: our socket bound into the container as X99, DISPLAY=:99.0.
    auto inside = [&](const std::string &pid) { return root_ / pid / "root" / x11.relative_path(); };
    process("20", "StarCitizen.exe", "DISPLAY=:99.0\0"s, "mnt:[2]");
    fs::create_directories(inside("20"));
    fs::create_hard_link(x11 / "X0", inside("20") / "X99");
    process("21", "StarCitizen.exe", "DISPLAY=:99.0\0"s, "mnt:[2]");  // another server's socket
    fs::create_directories(inside("21"));
    std::ofstream(inside("21") / "X99") << "";
    process("22", "StarCitizen.exe", "DISPLAY=:99\0"s);  // no container: the name alone decides
    process("23", "StarCitizen.exe", "DISPLAY=:0.0\0"s, "mnt:[2]");
    std::vector<pid_t> shown;
    for (const auto &game : games())
        if (shows_on(root_.string(), game, ":0", x11.string()))
            shown.push_back(game.pid);
    EXPECT_EQ(shown, (std::vector<pid_t>{20, 23}));
}

TEST_F(ProcTree, a_process_descends_from_its_parents_and_theirs_only)
{
    process("10", "gamescope", "");
    process("20", "sh) S 40 (x", "", "mnt:[1]", "", 'S', "10");  // a name that mimics a parent field
    process("30", "StarCitizen.exe", "", "mnt:[1]", "", 'S', "20");
    process("40", "launcher", "");
    for (auto [pid, ancestor, descends] : {std::tuple{30, 10, true}, {30, 20, true}, {30, 30, true}, {30, 40, false},
                                           {40, 10, false}, {99, 10, false}})
        EXPECT_EQ(descends_from(root_.string(), pid, ancestor), descends) << pid << " from " << ancestor;
}

TEST_F(ProcTree, the_desktop_processes_of_a_prefix_as_the_games_prefix_is_found)
{
    process("30", "explorer.exe", "WINEPREFIX=/games/sc/\0"s);  // a trailing slash is the same prefix
    process("31", "explorer.exe", "HOME=/games\0WINEPREFIX=\0"s);  // no prefix set: $HOME/.wine
    process("32", "explorer.exe", "WINEPREFIX=/games/other\0"s);
    process("33", "explorer.exe", "WINEPREFIX=/games/sc\0"s, "mnt:[1]", "", 'Z');  // ended
    process("34", "wineserver", "WINEPREFIX=/games/sc\0"s);
    process("35", "explorer.exe", "WINEPREFIX=/games/./sc\0"s);
    EXPECT_EQ(find_wine_desktops(root_.string(), getuid(), "/games/sc"), (std::vector<pid_t>{30, 35}));
    EXPECT_EQ(find_wine_desktops(root_.string(), getuid(), "/games/.wine/"), (std::vector<pid_t>{31}));
    EXPECT_TRUE(find_wine_desktops(root_.string(), getuid() + 1, "/games/sc").empty());
    EXPECT_TRUE(process_runs(root_.string(), 30, wine_desktop_image));
    EXPECT_FALSE(process_runs(root_.string(), 33, wine_desktop_image));
    EXPECT_FALSE(process_runs(root_.string(), 34, wine_desktop_image));
}
