// The witness of a wlroots compositor (sway, Hyprland, labwc, river, wayfire, niri): the
// wlr-foreign-toplevel-management list of every toplevel, Wayland-native and XWayland alike, with
// its app id and whether it is activated. It sees the game under Wine's Wayland driver, which has
// no X window, as well as under XWayland.
#pragma once

#include "witness.h"

#include <memory>
#include <string>
#include <variant>
#include <vector>

struct wl_display;
struct wl_registry;
struct zwlr_foreign_toplevel_manager_v1;

class WlrWitness : public FocusWitness {
public:
    struct Toplevel;

    // Connects to $WAYLAND_DISPLAY and takes the toplevels that exist; the message says why it
    // cannot (no compositor, or one that does not offer the protocol).
    static std::variant<std::unique_ptr<WlrWitness>, std::string> open();
    ~WlrWitness() override;
    WlrWitness(const WlrWitness &) = delete;
    WlrWitness &operator=(const WlrWitness &) = delete;

    const char *name() const override { return "wlr-foreign-toplevel"; }
    int fd() const override;
    bool handle_events() override;
    ActiveWindow active() const override { return active_; }
    const char *lost_message() const override { return "lost the Wayland display"; }

    // Called from the protocol's listeners.
    void bound(zwlr_foreign_toplevel_manager_v1 *manager) { manager_ = manager; }
    void added(std::unique_ptr<Toplevel> toplevel);
    void closed(Toplevel *toplevel);
    void finished() { finished_ = true; }
    void changed();

private:
    WlrWitness() = default;

    wl_display *display_ = nullptr;
    wl_registry *registry_ = nullptr;
    zwlr_foreign_toplevel_manager_v1 *manager_ = nullptr;
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    bool finished_ = false;  // the compositor no longer reports toplevels
    ActiveWindow active_ = ActiveWindow::other;
};
