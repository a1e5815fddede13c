// The second witness of focus: whether the window that has the X keyboard focus is the game's,
// seen from outside Wine through the X server. The same connection tells who owns X's clipboard.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

class FocusWatch {
public:
    // Connects to $DISPLAY; the message says why it cannot.
    static std::variant<std::unique_ptr<FocusWatch>, std::string> open();
    ~FocusWatch();
    FocusWatch(const FocusWatch &) = delete;
    FocusWatch &operator=(const FocusWatch &) = delete;

    int fd() const;
    // Takes in the X events that have arrived; false once the connection to the X server is lost.
    bool handle_events();
    // Asks again where the focus is: needed only where no window manager sets _NET_ACTIVE_WINDOW.
    void poll_input_focus();
    bool needs_polling() const { return !ewmh_; }
    bool game_active() const { return game_active_; }
    // Whether X's CLIPBOARD selection has an owner, asked just now (a round trip); nothing when X
    // cannot tell. Wine goes on listing the formats of an owner that has gone, with no data.
    std::optional<bool> clipboard_owned();

private:
    struct Connection;
    explicit FocusWatch(std::unique_ptr<Connection> connection);
    void refresh();

    std::unique_ptr<Connection> x_;
    bool ewmh_ = false;
    bool game_active_ = false;
};

// Whether a WM_CLASS field names the game's window: Wine sets "starcitizen.exe", case aside.
bool is_game_class(const std::string &field);
