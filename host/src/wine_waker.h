// The wake-up of Wine's X clipboard bridge. The thread of a prefix's desktop process (explorer.exe)
// that owns the window of class __wine_clipboard_manager now and then falls asleep right after it
// has imported X's clipboard (measured on Wine 8.0, seen on Wine 10): it waits in its message loop,
// yet no window message wakes it (a SendMessageTimeout(WM_NULL) of another Wine program goes
// unanswered), until an X event reaches its X connection. While it sleeps, every clipboard call of
// the game and of the bridge fails. An X event sent to a window that this thread made wakes it at
// once, so the game's desktop process's clipboard windows are sent one every 100 ms while the bridge
// runs. The event is a ClientMessage of a type of ours, which Wine ignores: it does nothing else.
#pragma once

#include "x_witness.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class WineWaker {
public:
    using clock = std::chrono::steady_clock;

    // Pokes the clipboard windows of the prefix's desktop process on that X display when it is time,
    // and looks for them again when the display, the prefix or the desktop process changes, or a
    // window has gone. True when it has asked X (events may have come along with its replies).
    bool tick(clock::time_point now, XDisplay *x, const std::string &prefix);
    // Nothing to wake (no bridge runs): the next tick looks anew.
    void stop();

private:
    void look();
    bool desktops_changed() const;
    bool poke();

    XDisplay *x_ = nullptr;
    std::string prefix_;
    std::vector<pid_t> desktops_;
    std::vector<uint32_t> windows_;
    uint32_t atom_ = 0;
    clock::time_point next_poke_, next_look_;
};
