// Whether the game is in front: its window has the focus (our witness, from the X server or the
// Wayland compositor) and Wine's foreground window is the game's (the bridge's, from its state
// lines). Losing the focus ends "in front" at once; gaining it waits for a state line of the bridge
// that agrees.
#pragma once

#include <chrono>
#include <optional>

class InFront {
public:
    using clock = std::chrono::steady_clock;

    explicit InFront(bool witness_active = false) : witness_active_(witness_active) {}

    bool witness_active() const { return witness_active_; }
    bool in_front() const { return in_front_; }

    // Each of these returns the new "in front" when it changed. Losing the focus also ends the
    // bridge's view: "focus 0" ends it at once, and its next state line says so.
    std::optional<bool> witness_says(bool active);
    std::optional<bool> bridge_says(bool foreground);
    // No bridge (it ended, or its game has left): no view of its own.
    std::optional<bool> bridge_gone() { return bridge_says(false); }

    // True once per focus gain, when our witness has said for 3 s that the game has the focus while a bridge
    // that is up does not see it in front (it does within 150 ms of our report).
    bool disagreement_due(clock::time_point now, bool bridge_up);

private:
    std::optional<bool> agree();

    bool witness_active_;
    bool bridge_foreground_ = false;
    bool in_front_ = false;  // both witnesses agree
    std::optional<clock::time_point> disagreeing_since_;
    bool warned_ = false;  // the disagreement was reported for this focus gain
};
