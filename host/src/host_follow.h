// The follow mode (no --wine, no --prefix): which running game the bridge joins. Every second it
// looks through /proc for the game on our X display while none is joined (a game that descends from
// the wrapped command is that command's, whatever its display: gamescope gives its own); every 500 ms it checks
// that the joined one still runs. The host starts the bridge with the joined game's loader and
// Wine settings, restarts it as usual while the game runs, and closes its input when the game has
// left; the next game, perhaps in another prefix or under another Wine, is joined in its turn. A
// game that runs in a container of its own is joined there; one that cannot be entered, or whose
// Wine is not there, is reported once.
#pragma once

#include "game_finder.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class Follower {
public:
    using clock = std::chrono::steady_clock;
    using Emit = std::function<void(const nlohmann::ordered_json &)>;
    // What a look changed, for the host to act on.
    enum class Turn { none, waiting, joined, left };

    // The events for the player (joined, left, refused, waiting) go to emit as they happen.
    explicit Follower(Emit emit) : emit_(std::move(emit)) {}

    // The wrapped command's pid, once it runs: its descendants' games are ours on any display.
    void wraps(pid_t command) { command_ = command; }

    // Looks when it is time. While a bridge still runs with no game (giving the last game's
    // clipboard back), no new game is looked for.
    Turn look(clock::time_point now, bool bridge_running);
    // Whether the joined game has ended, asked now rather than at the next look; if so, it has
    // left (and that is said). A container's end takes its bridge along before a look sees it.
    bool game_left();
    // The game joined, if any.
    const GameProcess *game() const { return game_ ? &*game_ : nullptr; }

private:
    std::optional<GameProcess> find();
    static std::string refusal(const GameProcess &game);
    Turn say_waiting();

    Emit emit_;
    std::optional<GameProcess> game_;
    std::vector<pid_t> refused_;  // the games already reported as not to be joined
    pid_t command_ = 0;
    clock::time_point next_look_;
    bool waiting_said_ = false;
};
