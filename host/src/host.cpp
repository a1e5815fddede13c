// The host's loop. Signals arrive through a signalfd and only wake the loop; the bridge's output
// is read whole lines at a time; the focus witness is drained on every turn, since xcb may hold
// events read along with a reply. The 100 ms tick repeats "focus 1" while the game's window has
// the focus (the bridge forgets a report after 300 ms) and, with no window manager on X, asks X.
//
// Each start of the bridge gets a new epoch: "context <epoch> 1 <delay>" and the four "bind"
// lines go out at once (the pipe keeps them until the bridge reads), and every line of another
// epoch, such as the state lines printed before the bridge took the context, is dropped.
#include "host.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr auto tick_period = std::chrono::milliseconds(100);
constexpr auto stop_grace = std::chrono::seconds(5);
constexpr auto max_backoff = std::chrono::seconds(30);
// A bridge that ran this long before it ended starts again after the shortest pause.
constexpr auto stable_run = std::chrono::seconds(30);

}  // namespace

Host::Host(const Options &options, FocusWitness &witness, XDisplay *x, EventWriter &out)
    : options_(options), focus_(witness, x), out_(out)
{
    if (options_.follow)
        follower_.emplace([this](const nlohmann::ordered_json &event) { emit(event); });
}

int Host::run()
{
    front_ = InFront(focus_.game_active());
    if (!options_.follow && !start_bridge())
        return 2;  // no Wine to run it with: a mistake in the options, not a crash to retry
    if (!start_command())
        return 127;  // as a shell says of a command it cannot run
    next_tick_ = clock::now() + tick_period;
    while (!done_) {
        // An fd of -1 is skipped by poll: a lost witness, a bridge's closed output, no game display.
        pollfd fds[4] = {{signals_.fd(), POLLIN, 0}, {focus_.desktop_fd(), POLLIN, 0},
                         {bridge_.output_fd(), POLLIN, 0}, {focus_.display_fd(), POLLIN, 0}};
        if (poll(fds, 4, poll_timeout()) < 0 && errno != EINTR)
            break;
        take_signals();
        watch_focus();
        read_bridge();
        if (auto ending = bridge_.reap())
            bridge_ended(*ending);
        reap_command();
        tick();
    }
    status_.hide();
    return exit_code_;
}

bool Host::start_bridge()
{
    restart_at_.reset();
    ready_ = false;
    ++epoch_;
    started_at_ = clock::now();
    if (auto failure = bridge_.start(launch())) {
        if (epoch_ == 1 && !options_.follow) {
            std::fprintf(stderr, "bridge-host: %s\n", failure->c_str());
            return false;
        }
        emit(message_event("error", *failure));
        bridge_ended({127, 0});
        return true;
    }
    configure_bridge();
    show_status();
    return true;
}

// A joined game's Wine (on the game's own display, if not ours), else the one of the options.
Launch Host::launch() const
{
    const GameProcess *game = follower_ ? follower_->game() : nullptr;
    if (!game)
        return {options_.wine, options_.prefix, options_.bridge, {}};
    auto settings = game->settings;
    if (focus_.on_game_display())
        for (auto [name, value] : {std::pair{"DISPLAY=", &game->display}, {"XAUTHORITY=", &game->xauthority}})
            if (!value->empty())
                settings.push_back(name + *value);
    return {game->loader, game->prefix, options_.bridge, settings, game->container ? game->pid : 0};
}

void Host::configure_bridge()
{
    bridge_.send("context " + std::to_string(epoch_) + " 1 " + std::to_string(options_.delay_ms));
    for (size_t slot = 0; slot < options_.bindings.size(); ++slot) {
        const Binding &b = options_.bindings[slot];
        bridge_.send("bind " + std::to_string(slot) + " " + std::to_string(b.modifiers) + " " + std::to_string(b.vk));
    }
    if (front_.witness_active())
        bridge_.send("focus 1");
}

void Host::read_bridge()
{
    if (bridge_.output_fd() < 0)
        return;
    bridge_.read_output(lines_);
    while (auto line = lines_.next())
        take_line(*line);
}

void Host::take_line(const LineBuffer::Line &line)
{
    std::optional<BridgeLine> parsed;
    if (!line.cut)
        parsed = parse_bridge_line(line.text);
    if (!parsed) {
        auto event = message_event("error", "unreadable line from the bridge");
        event["line"] = line.text;
        emit(event);
        return;
    }
    if (in_epoch(*parsed, epoch_))
        act(*parsed);
}

void Host::act(const BridgeLine &line)
{
    if (std::holds_alternative<ReadyLine>(line)) {
        ready_ = true;
        emit({{"event", "bridge"}, {"state", "started"}, {"pid", bridge_.pid()}, {"epoch", epoch_}});
    } else if (auto *state = std::get_if<StateLine>(&line)) {
        show_front(front_.bridge_says(state->foreground));
    } else if (auto *action = std::get_if<ActionLine>(&line)) {
        if (action->action == "position")
            request_position("hotkey");
        else
            emit(action_event(action->action));
    } else if (auto *status = std::get_if<StatusLine>(&line)) {
        emit(message_event("status", status->message));
    } else if (auto *error = std::get_if<ErrorLine>(&line)) {
        emit(message_event("error", error->message));
    } else if (auto *text = std::get_if<TextLine>(&line)) {
        auto event = position_event(*text);
        emit(event);
        last_position_ = position_summary(event);
        if (options_.once)
            stop(0);
    }
    show_status();
}

void Host::bridge_ended(const Ending &ending)
{
    read_bridge();  // what it printed last still counts
    bridge_.kill_now();  // closes our ends of its pipes
    ready_ = false;  // no bridge to disagree with X until the next one is up
    show_front(front_.bridge_gone());
    auto event = bridge_exit_event(epoch_, ending.code, ending.signal);
    if (follower_ && !stopping_ && follower_->game_left()) {
        focus_.leave();
        follow_witness();
    }
    if (stopping_ || (follower_ && !follower_->game())) {
        emit(event);  // asked to end, or its game has left: not started again
        stop_at_.reset();
        finish_if_idle();
        return;
    }
    if (clock::now() - started_at_ >= stable_run)
        backoff_ = std::chrono::seconds(1);
    event["restart_in_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(backoff_).count();
    emit(event);
    restart_at_ = clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, std::chrono::duration_cast<std::chrono::seconds>(max_backoff));
    show_status();
}

void Host::take_signals()
{
    while (auto info = signals_.next()) {
        switch (info->ssi_signo) {
        case SIGINT: case SIGTERM: command_.pass_on(*info); stop(0); break;
        case SIGUSR1: request_position("signal"); break;
        default: break;  // SIGCHLD: the loop reaps after this
        }
    }
}

void Host::watch_focus()
{
    if (!focus_.take_events()) {
        report_focus(false);
        emit(message_event("error", focus_.lost_message()));
        stop(1);
        return;
    }
    follow_witness();
}

// What the witness now says goes to the bridge at once.
void Host::follow_witness()
{
    if (!focus_.lost() && focus_.game_active() != front_.witness_active())
        report_focus(focus_.game_active());
}

void Host::tick()
{
    auto now = clock::now();
    if (stop_at_ && now >= *stop_at_) {
        bridge_.kill_now();  // it did not end in time: nothing more to wait for
        emit(bridge_exit_event(epoch_, 0, SIGKILL));
        stop_at_.reset();
        finish_if_idle();
        if (done_)
            return;
    }
    if (restart_at_ && now >= *restart_at_ && !stopping_)
        start_bridge();
    follow(now);
    wake_wine(now);
    if (now < next_tick_)
        return;
    next_tick_ = std::max(next_tick_ + tick_period, now);
    if (focus_.needs_polling()) {
        focus_.poll();
        if (focus_.game_active() != front_.witness_active())
            return report_focus(focus_.game_active());
    }
    if (front_.witness_active() && !stopping_)
        bridge_.send("focus 1");
    check_agreement(now);
}

// Wine's X clipboard bridge is kept awake while our bridge runs on an X display (wine_waker.h).
void Host::wake_wine(clock::time_point now)
{
    const GameProcess *game = follower_ ? follower_->game() : nullptr;
    XDisplay *x = bridge_.running() && !stopping_ ? focus_.x() : nullptr;
    if (waker_.tick(now, x, game ? game->prefix : options_.prefix))
        watch_focus();  // events that came along with its replies, taken now
}

// Our witness says the game has the focus, yet the bridge does not see it in front. With --wine and
// --prefix the usual cause is another Wine or prefix than the game's, whose wineserver knows no
// game. A joined game shares the bridge's wineserver: there Wine itself lost its foreground, which
// happens now and then when the focus goes straight from one Wine window to another (seen under
// sway). Said once per focus gain, so that a player is told what to do.
void Host::check_agreement(clock::time_point now)
{
    if (!front_.disagreement_due(now, ready_))
        return;
    if (options_.follow)
        emit(message_event("error", "the game has the focus but Wine does not have it in front: switch to "
                                          "another window and back to the game"));
    else
        emit(message_event("error", "the game has the focus but the bridge does not see it: run bridge-host "
                                          "with the game's Wine (--wine) and prefix (--prefix)"));
}

// A change seen by the witness goes to the bridge at once.
void Host::report_focus(bool active)
{
    auto change = front_.witness_says(active);
    if (!stopping_)
        bridge_.send(active ? "focus 1" : "focus 0");
    show_front(change);
    show_status();
}

void Host::show_front(std::optional<bool> change)
{
    if (change)
        emit(game_event(*change));
}

void Host::request_position(const char *why)
{
    if (stopping_)
        return;
    if (!bridge_.running() || !ready_) {
        emit(message_event("error", std::string("no position: the bridge is not running (") + why + ")"));
        return;
    }
    // Whether anybody holds X's clipboard now: formats that Wine still lists from an X owner that
    // has gone yield no data, and only X can tell (XWayland's, on a Wayland desktop).
    // A lost witness has stopped us already; a lost X under another witness answers nothing.
    if (auto owned = focus_.x() ? focus_.x()->clipboard_owned() : std::nullopt)
        bridge_.send(*owned ? "selection 1" : "selection 0");
    bridge_.send("trigger");
    watch_focus();  // events that came along with the reply, taken now rather than at the next wake
}

void Host::follow(clock::time_point now)
{
    if (!follower_ || stopping_)
        return;
    switch (follower_->look(now, bridge_.running())) {
    case Follower::Turn::joined: backoff_ = std::chrono::seconds(1); join_display(); start_bridge(); break;
    case Follower::Turn::left: leave(); break;
    case Follower::Turn::waiting: show_status(); break;
    case Follower::Turn::none: break;
    }
}

// A game on its own X display (gamescope's) is witnessed there while it is joined.
void Host::join_display()
{
    waker_.stop();  // the game's X display may be another
    auto joined = focus_.join(*follower_->game());
    if (!joined)
        return;
    emit(joined->error.empty() ? witness_event("x", joined->note) : message_event("error", joined->error));
    follow_witness();
}

// The game has left: its bridge gives the clipboard back and is not started again.
void Host::leave()
{
    waker_.stop();
    focus_.leave();
    follow_witness();
    restart_at_.reset();
    if (bridge_.running())
        close_bridge();
    show_front(front_.bridge_gone());
    show_status();
}

bool Host::start_command()
{
    if (options_.command.empty())
        return true;
    auto failure = command_.start(options_.command);
    if (!failure && follower_)
        follower_->wraps(command_.pid());
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

// The bridge's end of input makes it end any acquisition, give the clipboard back and exit.
void Host::stop(int exit_code)
{
    if (stopping_)
        return;
    stopping_ = true;
    exit_code_ = exit_code;
    restart_at_.reset();
    if (!bridge_.running()) {
        finish_if_idle();
        return;
    }
    close_bridge();
}

void Host::close_bridge()
{
    bridge_.close_input();
    stop_at_ = clock::now() + stop_grace;
}

// Done once asked to stop, with the bridge ended and the wrapped command (if any) too.
void Host::finish_if_idle()
{
    if (stopping_ && !bridge_.running() && !command_.running())
        done_ = true;
}

int Host::poll_timeout() const
{
    auto next = next_tick_;
    for (const auto &deadline : {restart_at_, stop_at_})
        if (deadline)
            next = std::min(next, *deadline);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - clock::now()).count();
    return (int)std::clamp<long long>(wait + 1, 0, 1000);
}

// An event line; on a terminal that also shows the status line, the event goes above it.
void Host::emit(const nlohmann::ordered_json &event)
{
    bool redraw = status_.hide();
    if (!out_.write(event) && !stopping_)
        stop(errno == EPIPE ? 0 : 1);  // the reader of our lines is gone (say, "| head -1"): nobody to serve
    if (redraw)
        show_status();
}

// What the status line says: the bridge, the game, the last position.
void Host::show_status()
{
    if (!status_.on_terminal())
        return;
    std::string bridge = bridge_.running()                ? (ready_ ? "bridge up" : "bridge starting")
                         : stopping_                       ? "bridge stopped"
                         : follower_ && !follower_->game() ? "waiting for the game (" + std::string(game_image) + ")"
                                                           : "bridge down, restarting";
    std::string game = front_.in_front() ? "game in front" : front_.witness_active() ? "game focused (bridge not agreeing)"
                                                                   : "game not in front";
    std::string line = bridge + " · " + game + (last_position_.empty() ? "" : " · last " + last_position_);
    status_.show(line);
}
