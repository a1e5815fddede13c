#include "host_signals.h"

#include <csignal>
#include <unistd.h>

void HostSignals::hold_early()
{
    sigset_t early;
    sigemptyset(&early);
    sigaddset(&early, SIGUSR1);
    sigprocmask(SIG_BLOCK, &early, nullptr);
}

HostSignals::HostSignals()
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    fd_ = Fd(signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC));
    std::signal(SIGPIPE, SIG_IGN);
}

std::optional<signalfd_siginfo> HostSignals::next()
{
    signalfd_siginfo info;
    if (read(fd_.get(), &info, sizeof info) != (ssize_t)sizeof info)
        return std::nullopt;
    return info;
}
