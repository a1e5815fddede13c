// bridge-host's event loop: the bridge's output, the focus witness, signals and a 100 ms tick, all in
// one poll() on the main thread. It supervises the bridge, asks the follow mode (host_follow.h)
// which game's Wine to run it with, and runs the wrapped command (wrapped_command.h) beside it.
#pragma once

#include "bridge_lines.h"
#include "bridge_process.h"
#include "events.h"
#include "focus_source.h"
#include "host_signals.h"
#include "host_follow.h"
#include "in_front.h"
#include "options.h"
#include "terminal_status.h"
#include "wine_waker.h"
#include "witness.h"
#include "wrapped_command.h"
#include "x_witness.h"

#include <chrono>
#include <optional>

class Host {
public:
    // x is the X display where there is one: its clipboard owner is told to the bridge.
    Host(const Options &options, FocusWitness &witness, XDisplay *x, EventWriter &out);
    // Runs until SIGINT or SIGTERM (or the first position with --once, or the end of the wrapped
    // command); the exit code.
    int run();

private:
    using clock = std::chrono::steady_clock;

    bool start_bridge();
    Launch launch() const;
    bool start_command();
    void reap_command();
    void follow(clock::time_point now);
    void join_display();
    void follow_witness();
    void leave();
    void finish_if_idle();
    void close_bridge();
    void configure_bridge();
    void read_bridge();
    void bridge_ended(const Ending &ending);
    void take_line(const LineBuffer::Line &line);
    void act(const BridgeLine &line);
    void take_signals();
    void watch_focus();
    void tick();
    void wake_wine(clock::time_point now);
    void check_agreement(clock::time_point now);
    void report_focus(bool active);
    void show_front(std::optional<bool> change);
    void request_position(const char *why);
    void stop(int exit_code);
    int poll_timeout() const;
    void emit(const nlohmann::ordered_json &event);
    void show_status();

    const Options &options_;
    FocusSource focus_;
    EventWriter &out_;
    HostSignals signals_;
    BridgeProcess bridge_;
    LineBuffer lines_;

    int32_t epoch_ = 0;
    bool ready_ = false;           // the bridge of this epoch printed its ready line
    InFront front_;                // the witness and the bridge on the game in front; each change is printed
    std::string last_position_;
    clock::time_point started_at_, next_tick_;
    std::optional<clock::time_point> restart_at_, stop_at_;
    std::chrono::seconds backoff_{1};
    bool stopping_ = false, done_ = false;
    TerminalStatus status_;
    int exit_code_ = 0;
    std::optional<Follower> follower_;  // in follow mode only
    WrappedCommand command_;
    WineWaker waker_;  // of the Wine whose X clipboard the bridge uses
};
