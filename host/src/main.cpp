// bridge-host: the command a player runs beside Star Citizen. It runs wine_bridge.exe in the
// game's Wine prefix, tells it whether the game's window has the focus (as the X server, the
// Wayland compositor or KWin sees it), asks it for a position on the "position" hotkey or on SIGUSR1, and
// prints every event as a JSON line.
#include "events.h"
#include "host.h"
#include "options.h"
#include "witness.h"
#include "x_witness.h"
#ifdef BRIDGE_HOST_WLR
#include "wlr_witness.h"
constexpr bool BUILT_WLR = true;
#else
constexpr bool BUILT_WLR = false;
#endif
#ifdef BRIDGE_HOST_KWIN
#include "gnome_shell_witness.h"
#include "kwin_witness.h"
constexpr bool BUILT_KWIN = true;
#else
constexpr bool BUILT_KWIN = false;
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace {

bool has_env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

// The Wayland witnesses that the session offers, each connected and asked whether it runs here; the
// one asked for with --witness must be there (false after a message on stderr).
struct Offered {
#ifdef BRIDGE_HOST_WLR
    std::unique_ptr<WlrWitness> wlr;
#endif
#ifdef BRIDGE_HOST_KWIN
    std::unique_ptr<KwinWitness> kwin;
    std::unique_ptr<GnomeShellWitness> gnome_shell;
#endif
};

template <typename Witness>
bool offer(std::optional<WitnessKind> asked, WitnessKind kind, const char *option, std::unique_ptr<Witness> &witness)
{
    auto opened = Witness::open();
    if (auto *made = std::get_if<std::unique_ptr<Witness>>(&opened))
        witness = std::move(*made);
    else if (asked == kind) {
        std::fprintf(stderr, "bridge-host: --witness %s: %s\n", option, std::get<std::string>(opened).c_str());
        return false;
    }
    return true;
}

bool offer_wayland(const Options &options, WitnessOffer &offered, [[maybe_unused]] Offered &witnesses)
{
    auto asked = options.witness;
#ifdef BRIDGE_HOST_WLR
    if (offered.wayland_display && (!asked || asked == WitnessKind::wlr)) {
        if (!offer(asked, WitnessKind::wlr, "wlr", witnesses.wlr))
            return false;
        offered.wlr_manager = witnesses.wlr != nullptr;
    }
#endif
#ifdef BRIDGE_HOST_KWIN
    // KWin is asked only where no wlroots list was found: the two never share a session.
    if (asked == WitnessKind::kwin || (!asked && offered.wayland_display && !offered.wlr_manager)) {
        if (!offer(asked, WitnessKind::kwin, "kwin", witnesses.kwin))
            return false;
        offered.kwin = witnesses.kwin != nullptr;
    }
    // GNOME Shell likewise, where neither was found.
    if (asked == WitnessKind::gnome_shell ||
        (!asked && offered.wayland_display && !offered.wlr_manager && !offered.kwin)) {
        if (!offer(asked, WitnessKind::gnome_shell, "gnome-shell", witnesses.gnome_shell))
            return false;
        offered.gnome_shell = witnesses.gnome_shell != nullptr;
    }
#endif
    // A build without libwayland-client or libsystemd (the portable archive) lacks those witnesses.
    for (auto [kind, option, built] : {std::tuple{WitnessKind::wlr, "wlr", BUILT_WLR},
                                       std::tuple{WitnessKind::kwin, "kwin", BUILT_KWIN},
                                       std::tuple{WitnessKind::gnome_shell, "gnome-shell", BUILT_KWIN}})
        if (asked == kind && !built) {
            std::fprintf(stderr, "bridge-host: --witness %s: this build of bridge-host has no such witness\n", option);
            return false;
        }
    if (!BUILT_WLR && !BUILT_KWIN)
        offered.wayland_display = false;
    return true;
}

// Takes the chosen Wayland witness out of what was offered, started; the message says why it did not
// start.
std::optional<std::string> take_wayland([[maybe_unused]] WitnessKind kind, [[maybe_unused]] Offered &witnesses,
                                        [[maybe_unused]] std::unique_ptr<FocusWitness> &witness)
{
#ifdef BRIDGE_HOST_WLR
    if (kind == WitnessKind::wlr)
        witness = std::move(witnesses.wlr);
#endif
#ifdef BRIDGE_HOST_KWIN
    if (kind == WitnessKind::kwin) {
        if (auto failure = witnesses.kwin->start())
            return "the kwin witness did not start: " + *failure;
        witness = std::move(witnesses.kwin);
    }
    if (kind == WitnessKind::gnome_shell) {
        if (auto failure = witnesses.gnome_shell->start())
            return "no gnome-shell witness yet: " + *failure;
        witness = std::move(witnesses.gnome_shell);
    }
#endif
    return std::nullopt;
}

// The focus witness that the session offers (or --witness asks for), and the X display where there
// is one; false after a message on stderr when there is none to run. A Wayland witness that fails to
// start leaves the X one, unless it was asked for: the note says so.
bool open_witness(const Options &options, std::unique_ptr<FocusWitness> &witness, std::unique_ptr<XDisplay> &x,
                  std::string &note)
{
    WitnessOffer offered{has_env("WAYLAND_DISPLAY"), false, has_env("DISPLAY"), false};
    Offered witnesses;
    if (!offer_wayland(options, offered, witnesses))
        return false;
    WitnessChoice choice = choose_witness(options.witness, offered);
    if (!choice.kind) {
        std::fprintf(stderr, "bridge-host: %s\n", choice.message.c_str());
        return false;
    }
    note = choice.message;
    if (offered.x_display) {
        auto opened = XDisplay::open();
        if (auto *made = std::get_if<std::unique_ptr<XDisplay>>(&opened))
            x = std::move(*made);
        else if (choice.kind == WitnessKind::x) {
            std::fprintf(stderr, "bridge-host: %s\n", std::get<std::string>(opened).c_str());
            return false;
        }
    }
    if (choice.kind == WitnessKind::x) {
        witness = std::make_unique<XWitness>(*x);
        return true;
    }
    auto failure = take_wayland(*choice.kind, witnesses, witness);
    if (!failure)
        return true;
    if (options.witness || !x) {
        std::fprintf(stderr, "bridge-host: %s\n", failure->c_str());
        return false;
    }
    note = *failure + "; the X witness follows the game's XWayland window only";
    witness = std::make_unique<XWitness>(*x);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    HostSignals::hold_early();
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
