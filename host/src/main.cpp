// bridge-host: the command a player runs beside Star Citizen. It runs wine_bridge.exe in the
// game's Wine prefix, tells it from X whether the game's window has the focus, asks it for a
// position on the "position" hotkey or on SIGUSR1, and prints every event as a JSON line.
#include "events.h"
#include "focus_watch.h"
#include "host.h"
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    Host::hold_early_signals();
    auto parsed = parse_options(argc, argv);
    if (auto *code = std::get_if<int>(&parsed))
        return *code;
    const Options &options = std::get<Options>(parsed);

    EventWriter out(options.once);
    if (!options.log.empty() && !out.open_log(options.log)) {
        std::fprintf(stderr, "bridge-host: --log %s: %s\n", options.log.c_str(), std::strerror(errno));
        return 2;
    }
    auto watch = FocusWatch::open();
    if (auto *message = std::get_if<std::string>(&watch)) {
        std::fprintf(stderr, "bridge-host: %s\n", message->c_str());
        return 2;
    }
    Host host(options, *std::get<std::unique_ptr<FocusWatch>>(watch), out);
    return host.run();
}
