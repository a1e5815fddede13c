// The command that bridge-host wraps ("bridge-host -- COMMAND [ARGS...]"): a launcher, or the game
// itself, run as our child; bridge-host ends when it ends, with its exit code.
#pragma once

#include <sys/signalfd.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class WrappedCommand {
public:
    WrappedCommand() = default;
    WrappedCommand(const WrappedCommand &) = delete;
    WrappedCommand &operator=(const WrappedCommand &) = delete;

    // Starts it with our environment; on failure returns the reason.
    std::optional<std::string> start(const std::vector<std::string> &argv);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Its exit code once it has ended (128 + the signal that ended it), else nothing.
    std::optional<int> reap();
    // Passes on a SIGINT or SIGTERM that a process sent to us alone. One that the terminal sent
    // (Ctrl+C) went to the whole foreground group, the command included, already.
    void pass_on(const signalfd_siginfo &info) const;

private:
    pid_t pid_ = -1;
};
