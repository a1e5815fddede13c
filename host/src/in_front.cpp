#include "in_front.h"

namespace {

// The bridge sees the game in front within 150 ms of our report; far longer means that it cannot.
constexpr auto disagreement_limit = std::chrono::seconds(3);

}  // namespace

std::optional<bool> InFront::witness_says(bool active)
{
    witness_active_ = active;
    warned_ = false;
    if (!active)
        bridge_foreground_ = false;
    return agree();
}

std::optional<bool> InFront::bridge_says(bool foreground)
{
    bridge_foreground_ = foreground;
    return agree();
}

std::optional<bool> InFront::agree()
{
    bool agreed = witness_active_ && bridge_foreground_;
    if (agreed == in_front_)
        return std::nullopt;
    in_front_ = agreed;
    return agreed;
}

bool InFront::disagreement_due(clock::time_point now, bool bridge_up)
{
    if (!witness_active_ || !bridge_up || bridge_foreground_) {
        disagreeing_since_.reset();
        return false;
    }
    if (!disagreeing_since_)
        disagreeing_since_ = now;
    if (now - *disagreeing_since_ < disagreement_limit || warned_)
        return false;
    warned_ = true;
    return true;
}
