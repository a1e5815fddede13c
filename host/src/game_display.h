// The game's own X display, where the wrapped command runs the game on another than ours: gamescope
// gives its games an XWayland of their own (":1" beside the desktop's ":0"). While that game is
// joined, its focus is witnessed there and X's clipboard is that display's.
#pragma once

#include "game_finder.h"
#include "x_witness.h"

#include <memory>
#include <string>
#include <variant>

class GameDisplay {
public:
    // Whether the game shows on another X display than ours ($DISPLAY).
    static bool elsewhere(const GameProcess &game);
    // Connects to the game's DISPLAY with its XAUTHORITY; the message says why it cannot.
    static std::variant<std::unique_ptr<GameDisplay>, std::string> open(const GameProcess &game);

    XDisplay &x() { return *x_; }
    XWitness &witness() { return *witness_; }

private:
    std::unique_ptr<XDisplay> x_;
    std::unique_ptr<XWitness> witness_;
};
