// The signals that bridge-host acts on (SIGINT, SIGTERM, SIGUSR1, SIGCHLD), blocked and read from a
// signalfd, so that they only wake the loop and are taken there.
#pragma once

#include "bridge_process.h"

#include <sys/signalfd.h>

#include <optional>

class HostSignals {
public:
    // Holds SIGUSR1 from the start of main, so that one sent while we start cannot end us (its
    // default action); the loop takes it later. SIGINT and SIGTERM keep ending us until then.
    static void hold_early();
    // Blocks them all from now on and opens the signalfd; SIGPIPE is ignored (a bridge or a reader
    // of stdout that is gone is seen as a failed write).
    HostSignals();

    int fd() const { return fd_.get(); }
    // The next signal that has arrived, if any.
    std::optional<signalfd_siginfo> next();

private:
    Fd fd_;
};
