#include "focus_source.h"

bool FocusSource::take_events()
{
    if (display_ && !display_->witness().handle_events())
        display_.reset();
    if (lost_)
        return true;  // said already
    lost_ = !desktop_.handle_events();
    return !lost_;
}

std::optional<FocusSource::Joined> FocusSource::join(const GameProcess &game)
{
    if (!GameDisplay::elsewhere(game))
        return std::nullopt;
    auto opened = GameDisplay::open(game);
    if (auto *failure = std::get_if<std::string>(&opened))
        return Joined{"", *failure};
    display_ = std::move(std::get<std::unique_ptr<GameDisplay>>(opened));
    return Joined{"the game's own X display " + game.display, ""};
}
