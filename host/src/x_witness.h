// The X side, through xcb: one connection to $DISPLAY that tells who owns X's clipboard, and the
// witness of the game's focus that X gives (the window that has the X keyboard focus is the game's).
// On a Wayland desktop the connection goes to XWayland, which knows X windows only.
#pragma once

#include "witness.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>

struct xcb_connection_t;

class XDisplay {
public:
    struct Connection;

    // Connects to $DISPLAY, or to the display named, with the key in the xauthority file if one is
    // named; the message says why it cannot.
    static std::variant<std::unique_ptr<XDisplay>, std::string> open(const char *name = nullptr,
                                                                     const char *xauthority = nullptr);
    ~XDisplay();
    XDisplay(const XDisplay &) = delete;
    XDisplay &operator=(const XDisplay &) = delete;

    // Whether X's CLIPBOARD selection has an owner, asked just now (a round trip); nothing when X
    // cannot tell. Wine goes on listing the formats of an owner that has gone, with no data.
    std::optional<bool> clipboard_owned();
    Connection &connection() { return *x_; }
    // For other users of the same connection (WineWaker): xcb itself and the screen's root window.
    xcb_connection_t *xcb() const;
    uint32_t root() const;

private:
    explicit XDisplay(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> x_;
};

class XWitness : public FocusWitness {
public:
    // Watches the root window's properties from now on and, with no window manager, the focus
    // events of the top-level windows.
    explicit XWitness(XDisplay &display);

    const char *name() const override { return "x"; }
    int fd() const override;
    bool handle_events() override;
    // Asks again where the focus is: needed only where no window manager sets _NET_ACTIVE_WINDOW.
    bool needs_polling() const override { return !ewmh_; }
    void poll() override { refresh(); }
    ActiveWindow active() const override { return active_; }
    const char *lost_message() const override { return "lost the X display"; }

private:
    void refresh(bool focus_given = false);

    XDisplay::Connection &x_;
    bool ewmh_ = false;
    ActiveWindow active_ = ActiveWindow::other;
};
