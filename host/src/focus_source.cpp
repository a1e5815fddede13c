#include "focus_source.h"

bool FocusSource::take_events()
{
    if (display_ && !display_->witness().handle_events())
        display_.reset();
    if (lost_)
        return true;  // said already
    lost_ = !desktop_.handle_events();
    note_desktop();
    return !lost_;
}

bool FocusSource::game_active() const
{
    if (!display_)
        return desktop_.game_active();
    bool shown = !nested_seen_ || lost_ || desktop_.active() == ActiveWindow::nested_display;
    return display_->witness().game_active() && shown;
}

bool FocusSource::needs_polling()
{
    return (!lost_ && desktop_.needs_polling()) || (display_ && display_->witness().needs_polling());
}

void FocusSource::poll()
{
    if (!lost_ && desktop_.needs_polling())
        desktop_.poll();
    if (display_ && display_->witness().needs_polling())
        display_->witness().poll();
    note_desktop();
}

void FocusSource::note_desktop()
{
    nested_seen_ |= display_ && !lost_ && desktop_.active() == ActiveWindow::nested_display;
}

std::optional<FocusSource::Joined> FocusSource::join(const GameProcess &game)
{
    if (!GameDisplay::elsewhere(game))
        return std::nullopt;
    auto opened = GameDisplay::open(game);
    if (auto *failure = std::get_if<std::string>(&opened))
        return Joined{"", *failure};
    display_ = std::move(std::get<std::unique_ptr<GameDisplay>>(opened));
    nested_seen_ = false;
    note_desktop();
    return Joined{"the game's own X display " + game.display, ""};
}
