#include "terminal_status.h"

#include <cstdio>
#include <unistd.h>

TerminalStatus::TerminalStatus() : terminal_(isatty(STDERR_FILENO)) {}

void TerminalStatus::show(const std::string &text)
{
    if (!terminal_)
        return;
    shown_ = true;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

bool TerminalStatus::hide()
{
    if (!shown_)
        return false;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
    return true;
}
