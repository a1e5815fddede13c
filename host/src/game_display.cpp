#include "game_display.h"

#include <cstdlib>

bool GameDisplay::elsewhere(const GameProcess &game)
{
    const char *ours = std::getenv("DISPLAY");
    return !game.container && !same_display(game.display, ours ? ours : "");
}

std::variant<std::unique_ptr<GameDisplay>, std::string> GameDisplay::open(const GameProcess &game)
{
    auto opened = XDisplay::open(game.display.c_str(), game.xauthority.c_str());
    if (auto *failure = std::get_if<std::string>(&opened))
        return "the game's X display: " + *failure;
    auto display = std::make_unique<GameDisplay>();
    display->x_ = std::move(std::get<std::unique_ptr<XDisplay>>(opened));
    display->witness_ = std::make_unique<XWitness>(*display->x_);
    return display;
}
