// A game that runs in a container of its own (Flatpak, Steam's runtime, any bwrap sandbox): what
// can be read of it from outside, and how the bridge is run inside it. Such a game has its own
// mount namespace, with its own /tmp (where its wineserver's socket is), its own Wine build and a
// prefix that may exist only there; the bridge must run in the same place to share its server.
//
// An unprivileged user may enter a sandbox that the same user made: the user namespace that owns
// the game's mount namespace (bwrap nests two, and the mounts belong to the outer one), then the
// mount namespace, the pid namespace and the game's own user namespace, for its uid mapping.
// setns into a user namespace refuses a multithreaded caller, so a forked child does it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Container {
    std::string kind;   // "flatpak", "steam-runtime" or "plain"
    std::string app;    // a Flatpak's application id, else ""
    pid_t inner_pid = 0;  // the game's pid as the container sees it, 0 if unknown
};

// What a game in another mount namespace runs in, from its /proc/PID/status text (NSpid: its pid
// in each pid namespace, the container's last), its /.flatpak-info (an INI text whose
// [Application] name is the app id; empty when unreadable) and its environment (FLATPAK_ID;
// container=pressure-vessel or PRESSURE_VESSEL_* in Steam's runtime).
Container describe_container(std::string_view status, std::string_view flatpak_info, const std::vector<std::string> &env);

// Whether this user can enter the game's container and find loader there: "" when it can, else
// the call that failed and why ("setns of its mount namespace: Operation not permitted").
std::string container_entry_failure(pid_t game, const std::string &loader);

// What the bridge runs with inside the game's container.
struct Entry {
    pid_t game = 0;
    std::string loader;  // the game's Wine loader, as the container sees it
    std::string exe;     // wine_bridge.exe here, copied into the container for the run
    std::string prefix;  // the game's prefix inside: its Windows temp folder, if /tmp takes no copy
};

// Starts "<loader> <copy of exe>" in the game's container with stdin from in, stdout to out and
// the environment envp. *pid is a supervisor of ours outside the container's pid namespace: it
// ends with the same status as the bridge, after removing the copy, and the bridge dies with it.
// Returns the reason on failure.
std::optional<std::string> start_in_container(const Entry &entry, int in, int out, char *const envp[], pid_t *pid);
