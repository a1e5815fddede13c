// bridge-host: the command a player runs beside Star Citizen. It runs wine_bridge.exe in the
// game's Wine prefix, tells it whether the game's window has the focus (as the X server or the
// Wayland compositor sees it), asks it for a position on the "position" hotkey or on SIGUSR1, and
// prints every event as a JSON line.
#include "events.h"
#include "host.h"
#include "options.h"
#include "witness.h"
#include "x_witness.h"
#ifdef BRIDGE_HOST_WLR
#include "wlr_witness.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool has_env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// The focus witness that the session offers (or --witness asks for), and the X display where there
// is one; false after a message on stderr when there is none to run.
bool open_witness(const Options &options, std::unique_ptr<FocusWitness> &witness, std::unique_ptr<XDisplay> &x,
                  std::string &note)
{
    WitnessOffer offer{has_env("WAYLAND_DISPLAY"), false, has_env("DISPLAY")};
#ifdef BRIDGE_HOST_WLR
    std::unique_ptr<WlrWitness> wlr;
    if (offer.wayland_display && options.witness != WitnessKind::x) {
        auto opened = WlrWitness::open();
        if (auto *made = std::get_if<std::unique_ptr<WlrWitness>>(&opened))
            wlr = std::move(*made);
        else if (options.witness == WitnessKind::wlr) {
            std::fprintf(stderr, "bridge-host: --witness wlr: %s\n", std::get<std::string>(opened).c_str());
            return false;
        }
        offer.wlr_manager = wlr != nullptr;
    }
#else
    // A build without libwayland-client (the portable archive) has the X witness only.
    if (options.witness == WitnessKind::wlr) {
        std::fputs("bridge-host: --witness wlr: this build of bridge-host has no Wayland witness\n", stderr);
        return false;
    }
    offer.wayland_display = false;
#endif
    WitnessChoice choice = choose_witness(options.witness, offer);
    if (!choice.kind) {
        std::fprintf(stderr, "bridge-host: %s\n", choice.message.c_str());
        return false;
    }
    note = choice.message;
    if (offer.x_display) {
        auto opened = XDisplay::open();
        if (auto *made = std::get_if<std::unique_ptr<XDisplay>>(&opened))
            x = std::move(*made);
        else if (choice.kind == WitnessKind::x) {
            std::fprintf(stderr, "bridge-host: %s\n", std::get<std::string>(opened).c_str());
            return false;
        }
    }
#ifdef BRIDGE_HOST_WLR
    if (choice.kind == WitnessKind::wlr)
        witness = std::move(wlr);
#endif
    if (choice.kind == WitnessKind::x)
        witness = std::make_unique<XWitness>(*x);
    return true;
}

}  // namespace

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
    std::unique_ptr<FocusWitness> witness;
    std::unique_ptr<XDisplay> x;
    std::string note;
    if (!open_witness(options, witness, x, note))
        return 2;
    out.write(witness_event(witness->name(), note));
    Host host(options, *witness, x.get(), out);
    return host.run();
}
