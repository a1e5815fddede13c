// The witness of GNOME Shell (GNOME on Wayland): Mutter tells no other program which window has the
// focus, so an extension of ours (host/gnome-extension/) runs inside the shell and says it on the
// session bus: the focused window's class, pid and whether it is a Wayland client, on every change
// and on request. It sees Wayland-native windows (Wine's Wayland driver) and XWayland ones alike.
// Only what comes from the connection that owns org.gnome.Shell counts.
#pragma once

#include "session_bus.h"
#include "witness.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>

struct sd_bus_message;
struct sd_bus_slot;

class GnomeShellWitness : public FocusWitness {
public:
    // Connects to the session bus and finds GNOME Shell on it; the message says why it cannot.
    static std::variant<std::unique_ptr<GnomeShellWitness>, std::string> open();
    ~GnomeShellWitness() override;
    GnomeShellWitness(const GnomeShellWitness &) = delete;
    GnomeShellWitness &operator=(const GnomeShellWitness &) = delete;

    // Finds our extension running in the shell and asks it what has the focus. Where it does not
    // run, the message says why, once: installed now (and turned on) for the next login, installed
    // but not loaded, or turned off by the user.
    std::optional<std::string> start();

    const char *name() const override { return "gnome-shell"; }
    int fd() const override;
    bool handle_events() override;
    ActiveWindow active() const override { return active_; }
    const char *lost_message() const override { return "lost GNOME Shell (org.gnome.Shell left the session bus)"; }

    // Called from the bus's handler, and with the answer to our question.
    void focus_changed(sd_bus_message *message);

private:
    GnomeShellWitness() = default;
    std::optional<double> extension_state();
    std::string not_running(std::optional<double> state);
    std::string shell_version();

    ShellOnBus shell_;
    sd_bus_slot *focus_match_ = nullptr;
    ActiveWindow active_ = ActiveWindow::other;
};
