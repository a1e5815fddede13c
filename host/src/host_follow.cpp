// The follow mode and the wrapped command, parts of the host's loop (host.cpp).
//
// Follow mode (no --wine, no --prefix): every second the tick looks through /proc for the game
// on our X display while none is joined; every 500 ms it checks that the joined one still runs. A
// game found is joined: the bridge is started with its loader and Wine settings, and restarted as
// usual while the game runs. When the game ends, the bridge's input is closed (it gives back a
// clipboard it has lent) and it is not started again; the next game, perhaps in another prefix or
// under another Wine, is joined in its turn. A game that runs in a container of its own cannot be
// joined from here: it is reported once, as an error.
//
// The wrapped command runs beside all this; when it ends, bridge-host stops with its exit code.
#include "host.h"

#include <algorithm>
#include <csignal>
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

Launch Host::launch() const
{
    if (game_)
        return {game_->loader, game_->prefix, options_.bridge, game_->settings};
    return {options_.wine, options_.prefix, options_.bridge, {}};
}

bool Host::start_command()
{
    if (options_.command.empty())
        return true;
    auto failure = command_.start(options_.command);
    if (!failure)
        return true;
    std::fprintf(stderr, "bridge-host: %s\n", failure->c_str());
    bridge_.kill_now();  // just started: it has nothing of the player's to give back
    return false;
}

void Host::reap_command()
{
    auto code = command_.reap();
    if (!code)
        return;
    emit({{"event", "command"}, {"state", "exited"}, {"code", *code}});
    stop(*code);
    exit_code_ = *code;  // also when a signal had already begun the stop
    finish_if_idle();
}

// A SIGINT or SIGTERM that a process sent to us alone goes on to the command. One that the
// terminal sent (Ctrl+C) went to the whole foreground group, the command included, already.
void Host::forward_signal(const signalfd_siginfo &info)
{
    if (info.ssi_code != SI_KERNEL)
        command_.signal((int)info.ssi_signo);
}

void Host::follow(clock::time_point now)
{
    if (!options_.follow || stopping_ || now < next_scan_)
        return;
    next_scan_ = now + (game_ ? alive_period : scan_period);
    if (game_) {
        if (!game_alive(proc_root, game_->pid))
            leave();
        return;
    }
    if (bridge_.running())
        return;  // the last game's bridge is still giving the clipboard back
    std::vector<pid_t> foreign;
    std::optional<GameProcess> found;
    const char *display = std::getenv("DISPLAY");
    for (auto &game : find_games(proc_root, getuid())) {
        if (!same_display(game.display, display ? display : ""))
            continue;  // its window is on another X server: another seat's, or a test's
        if (game.foreign.empty()) {
            found = std::move(game);
            break;
        }
        foreign.push_back(game.pid);
        if (std::find(refused_.begin(), refused_.end(), game.pid) == refused_.end())
            emit(message_event("error", std::string(game_image) + " (pid " + std::to_string(game.pid) + "): " +
                                            game.foreign + ", so bridge-host cannot join its Wine: start "
                                            "bridge-host inside that runtime, or give --wine and --prefix"));
    }
    refused_ = foreign;  // a pid that is gone may come back as another game
    if (found)
        join(*found);
    else
        say_waiting();
}

void Host::join(const GameProcess &game)
{
    game_ = game;
    waiting_said_ = false;
    backoff_ = std::chrono::seconds(1);
    emit({{"event", "follow"}, {"state", "joined"}, {"pid", game.pid}, {"prefix", game.prefix},
          {"loader", game.loader}});
    start_bridge();
}

void Host::leave()
{
    emit({{"event", "follow"}, {"state", "left"}, {"pid", game_->pid}});
    game_.reset();
    restart_at_.reset();
    if (bridge_.running())
        close_bridge();
    show_front(front_.bridge_gone());
    show_status();
}

void Host::say_waiting()
{
    if (waiting_said_)
        return;
    waiting_said_ = true;
    emit(message_event("status", "waiting for the game (" + std::string(game_image) + ")"));
    show_status();
}
