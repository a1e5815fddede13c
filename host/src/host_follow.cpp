// The follow mode's looks through /proc, and what it tells the player.
#include "host_follow.h"

#include "events.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace {

// A look through /proc costs about 0.9 ms of CPU with 110 processes (bridge_host_scan_bench): once
// a second while waiting, for a game that takes far longer to load; the joined game's own entry,
// one small read, twice a second.
constexpr auto scan_period = std::chrono::seconds(1);
constexpr auto alive_period = std::chrono::milliseconds(500);
constexpr const char *proc_root = "/proc";

}  // namespace

Follower::Turn Follower::look(clock::time_point now, bool bridge_running)
{
    if (now < next_look_)
        return Turn::none;
    next_look_ = now + (game_ ? alive_period : scan_period);
    if (game_)
        return game_left() ? Turn::left : Turn::none;
    if (bridge_running)
        return Turn::none;
    auto found = find();
    if (!found)
        return say_waiting();
    game_ = std::move(found);
    waiting_said_ = false;
    nlohmann::ordered_json joined = {{"event", "follow"}, {"state", "joined"}, {"pid", game_->pid},
                                     {"prefix", game_->prefix}, {"loader", game_->loader}};
    if (const auto &container = game_->container) {
        joined["container"] = {{"kind", container->kind}};
        if (!container->app.empty())
            joined["container"]["app"] = container->app;
        if (container->inner_pid > 0)
            joined["container"]["pid"] = container->inner_pid;
    }
    emit_(joined);
    return Turn::joined;
}

bool Follower::game_left()
{
    if (!game_ || game_alive(proc_root, game_->pid))
        return false;
    emit_({{"event", "follow"}, {"state", "left"}, {"pid", game_->pid}});
    game_.reset();
    return true;
}

// The first game of ours on our display, or of the wrapped command's on any, that can be joined; the
// others are reported once each.
// A game in a container is tried once: a child of ours enters it and looks for its Wine there.
std::optional<GameProcess> Follower::find()
{
    std::vector<pid_t> refused;
    std::optional<GameProcess> found;
    const char *display = std::getenv("DISPLAY");
    for (auto &game : find_games(proc_root, getuid())) {
        bool commands = command_ > 0 && descends_from(proc_root, game.pid, command_);
        if (!commands && !shows_on(proc_root, game, display ? display : ""))
            continue;  // its window is on another X server: another seat's, or a test's
        bool said = std::find(refused_.begin(), refused_.end(), game.pid) != refused_.end();
        std::string why = said ? "" : refusal(game);
        if (!said && why.empty()) {
            found = std::move(game);
            break;
        }
        refused.push_back(game.pid);
        if (!said)
            emit_(message_event("error", why + ": start bridge-host inside that runtime, or give --wine and --prefix"));
    }
    refused_ = refused;  // a pid that is gone may come back as another game
    return found;
}

// Why bridge-host cannot join that game, or "".
std::string Follower::refusal(const GameProcess &game)
{
    std::string game_name = std::string(game_image) + " (pid " + std::to_string(game.pid) + ")";
    if (!game.foreign.empty())
        return game_name + ": " + game.foreign + ", so bridge-host cannot join its Wine";
    if (game.container) {
        std::string failure = container_entry_failure(game.pid, game.loader);
        if (!failure.empty())
            return game_name + " runs in a container that bridge-host cannot enter (" + failure + ")";
    }
    return "";
}

Follower::Turn Follower::say_waiting()
{
    if (waiting_said_)
        return Turn::none;
    waiting_said_ = true;
    emit_(message_event("status", "waiting for the game (" + std::string(game_image) + ")"));
    return Turn::waiting;
}
