// The command line of bridge-host.
#pragma once

#include "keys.h"
#include "witness.h"

#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The bridge's hotkey slots, in the order of its "bind" command's slot numbers.
inline constexpr std::array<const char *, 4> slot_names = {"position", "next", "previous", "survey"};

struct Options {
    std::string wine = "wine";
    std::string prefix;  // the game's Wine prefix
    std::string bridge;  // wine_bridge.exe
    int delay_ms = 50;
    std::array<Binding, 4> bindings;
    bool once = false;
    std::string log;  // where position lines are appended; empty for none
    bool follow = false;               // no --wine nor --prefix: the running game's Wine is joined
    std::vector<std::string> command;  // after "--": run it, and end when it ends
    std::optional<WitnessKind> witness;  // --witness; else chosen from what the session offers
};

// The options, or the exit code when there is nothing to run: 0 after --help or --version, 2
// after a message on stderr that says what is wrong.
std::variant<Options, int> parse_options(int argc, char **argv);
