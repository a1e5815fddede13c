// Finding the running game: a process of this user named StarCitizen.exe, read through /proc, and
// what the bridge needs from it to join the same wineserver (its loader, prefix and Wine settings).
#pragma once

#include "container.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char *game_image = "StarCitizen.exe";
// A prefix's desktop process, whose thread bridges Wine's clipboard and X's.
inline constexpr const char *wine_desktop_image = "explorer.exe";

// A process's environment as NAME=value entries, in order. Entries without '=' or with an empty
// name are dropped, and a name seen twice keeps its first value (the one getenv returns).
std::vector<std::string> parse_environ(std::string_view data);

// The value of name among NAME=value entries, if there.
std::optional<std::string> env_value(const std::vector<std::string> &env, std::string_view name);

// The entries that decide which Wine and wineserver run, and how: every WINE* variable but
// WINELOADERNOEXEC, and LD_LIBRARY_PATH (a launcher's Wine build finds its own libraries through
// it). Never LD_PRELOAD or the like: overlays and recorders injected into the game are not for the
// bridge.
std::vector<std::string> wine_settings(const std::vector<std::string> &env);

struct GameProcess {
    pid_t pid = 0;
    std::string prefix;                 // WINEPREFIX, else the game's $HOME/.wine (as the game sees it)
    std::string loader;                 // WINELOADER, else the process's executable (as the game sees it)
    // wine_settings() of its environment, WINEPREFIX included; in a container, also its DISPLAY,
    // WAYLAND_DISPLAY, XDG_RUNTIME_DIR, XAUTHORITY and HOME, which are the container's.
    std::vector<std::string> settings;
    std::string display;                // its DISPLAY, where its window is
    std::string xauthority;             // its XAUTHORITY, the key to that display if it has one
    // Set when it runs in a container of its own (another mount namespace): the bridge runs there.
    std::optional<Container> container;
    // Set when the game cannot be joined (its loader is not on this system): the reason, for the player.
    std::string foreign;
};

// Whether two DISPLAY values name the same X display (":1", ":1.0", "unix:1"); an empty one is
// taken to be the same, as nothing says otherwise.
bool same_display(const std::string &a, const std::string &b);

// Whether the game's window is on our X display. A container may name it otherwise (Flatpak binds
// our socket in as X99 and sets DISPLAY=:99.0): there the socket its DISPLAY names, seen through
// its root, is compared with ours under x11_dir.
bool shows_on(const std::string &proc_root, const GameProcess &game, const std::string &display,
              const std::string &x11_dir = "/tmp/.X11-unix");

// Reads the processes under proc_root (normally "/proc") that belong to uid and are named
// StarCitizen.exe, in pid order. Entries that cannot be read are skipped.
std::vector<GameProcess> find_games(const std::string &proc_root, uid_t uid);

// This user's Wine desktop processes of that prefix (as the game's prefix is found), in pid order.
std::vector<pid_t> find_wine_desktops(const std::string &proc_root, uid_t uid, const std::string &prefix);

// Whether that process still runs under that image name.
bool process_runs(const std::string &proc_root, pid_t pid, const char *image);

// Whether that process still runs as the game.
bool game_alive(const std::string &proc_root, pid_t pid);

// Whether the process pid is ancestor or one of its descendants, by the parents that /proc gives.
bool descends_from(const std::string &proc_root, pid_t pid, pid_t ancestor);
