// Where the game's focus is witnessed, and whose X clipboard the game's Wine uses: the desktop's
// witness and X display, or, while a game that shows on an X display of its own is joined (the
// wrapped command's game under gamescope), an X witness on that display and that display. A
// gamescope nested on the desktop shows that display in a window of the desktop's: once the
// desktop's witness has seen that window active, the game is in front only while it still is, so
// that a player who leaves gamescope's window leaves the game. A desktop that never shows it active
// (gamescope as the whole session, a desktop whose witness cannot see it) leaves the game display's
// word alone.
#pragma once

#include "game_display.h"
#include "witness.h"
#include "x_witness.h"

#include <memory>
#include <optional>
#include <string>

class FocusSource {
public:
    // x is the desktop's X display where there is one.
    FocusSource(FocusWitness &desktop, XDisplay *x) : desktop_(desktop), desktop_x_(x) {}

    bool game_active() const;
    // Some witnesses must ask on each tick (X without a window manager).
    bool needs_polling();
    void poll();
    XDisplay *x() { return display_ ? &display_->x() : desktop_x_; }
    // The fds to wait on: the desktop's witness (-1 once lost) and the game display's (-1 if none).
    int desktop_fd() const { return lost_ ? -1 : desktop_.fd(); }
    int display_fd() { return display_ ? display_->witness().fd() : -1; }

    // Takes in what the witnesses have; false when the desktop's witness has just been lost (once).
    // A game display that ends (gamescope, with its game) hands the focus back to the desktop's.
    bool take_events();
    bool lost() const { return lost_; }
    const char *lost_message() const { return desktop_.lost_message(); }

    // Witnesses the joined game on its own display, if it shows on another than ours: the note for
    // the "witness" event, or an error message (the desktop's witness goes on), or nothing.
    struct Joined {
        std::string note, error;
    };
    std::optional<Joined> join(const GameProcess &game);
    // Back to the desktop's witness: the game has left.
    void leave() { display_.reset(); }
    bool on_game_display() const { return display_ != nullptr; }

private:
    FocusWitness &desktop_;
    XDisplay *desktop_x_;
    std::unique_ptr<GameDisplay> display_;
    bool lost_ = false;
    bool nested_seen_ = false;  // the desktop has shown the game display's window active

    void note_desktop();
};
