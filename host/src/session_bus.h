// A desktop shell on the session bus (KWin, GNOME Shell), as its witness sees it: our connection,
// and the unique name of the connection that owns the shell's well-known name. Only messages from
// that connection count, since anyone on the bus may call us or send a signal of any name; its
// leaving (a crash, the end of the session) is watched.
#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>

struct ShellOnBus {
    sd_bus *bus = nullptr;
    sd_bus_slot *owner_match = nullptr;
    std::string owner;  // the shell's unique name
    bool gone = false;  // it has left the bus

    ShellOnBus() = default;
    ~ShellOnBus();
    ShellOnBus(const ShellOnBus &) = delete;
    ShellOnBus &operator=(const ShellOnBus &) = delete;

    // Connects and finds name's owner; the message says why it cannot ("desktop (name) is not on
    // the session bus: ...").
    std::optional<std::string> connect(const char *name, const char *desktop);
    // Takes in what has arrived (the handlers run); false once the connection or the shell is lost.
    bool drain();
    // Whether a message comes from the shell.
    bool sent_by_shell(const char *sender) const { return sender && owner == sender; }
};

// What a failed call says: the bus's error message, else errno's words for r.
std::string bus_error(const sd_bus_error &error, int r);
