// Which witness runs. A wlroots compositor's witness, KWin's and GNOME Shell's see the game under
// either of Wine's drivers (they list XWayland windows too), so they are preferred on Wayland
// wherever offered; the X witness sees XWayland games only, and is what remains on a Wayland desktop
// with no witness of its own. On an X session the X witness sees everything, KWin's included: KWin's runs there
// only when asked for.
#include "witness.h"

#include <strings.h>

namespace {

const char *const no_wayland_witness =
    "the Wayland compositor offers no focus witness (zwlr_foreign_toplevel_manager_v1 of wlroots "
    "compositors, or KWin's scripting on the session bus); a game under Wine's Wayland driver cannot "
    "be followed, while its XWayland mode (no \"Graphics\" value in HKCU\\Software\\Wine\\Drivers) "
    "works through the X witness";

const char *const no_display = "no DISPLAY: bridge-host must run in the desktop session of the game";

// Window classes and app ids are compared whole, case aside.
bool same_name(std::string_view name, std::string_view expected)
{
    return name.size() == expected.size() && strncasecmp(name.data(), expected.data(), expected.size()) == 0;
}

}  // namespace

bool is_game_name(std::string_view name)
{
    return same_name(name, "starcitizen.exe");
}

ActiveWindow window_kind(std::string_view name)
{
    if (is_game_name(name))
        return ActiveWindow::game;
    return same_name(name, "gamescope") ? ActiveWindow::nested_display : ActiveWindow::other;
}

std::optional<WitnessKind> witness_kind(std::string_view name)
{
    if (name == "x")
        return WitnessKind::x;
    if (name == "wlr")
        return WitnessKind::wlr;
    if (name == "kwin")
        return WitnessKind::kwin;
    if (name == "gnome-shell")
        return WitnessKind::gnome_shell;
    return std::nullopt;
}

WitnessChoice choose_witness(std::optional<WitnessKind> asked, const WitnessOffer &offer)
{
    if (asked == WitnessKind::wlr) {
        if (!offer.wayland_display)
            return {std::nullopt, "--witness wlr: no WAYLAND_DISPLAY"};
        if (!offer.wlr_manager)
            return {std::nullopt, "--witness wlr: the Wayland compositor offers no zwlr_foreign_toplevel_manager_v1"};
        return {WitnessKind::wlr, ""};
    }
    if (asked == WitnessKind::kwin)
        return offer.kwin ? WitnessChoice{WitnessKind::kwin, ""}
                          : WitnessChoice{std::nullopt, "--witness kwin: KWin (org.kde.KWin) is not on the session bus"};
    if (!asked && offer.wayland_display && offer.wlr_manager)
        return {WitnessKind::wlr, ""};
    if (asked == WitnessKind::gnome_shell)
        return offer.gnome_shell ? WitnessChoice{WitnessKind::gnome_shell, ""}
                                 : WitnessChoice{std::nullopt, "--witness gnome-shell: GNOME Shell (org.gnome.Shell) is "
                                                               "not on the session bus"};
    if (!asked && offer.wayland_display && offer.kwin)
        return {WitnessKind::kwin, ""};
    if (!asked && offer.wayland_display && offer.gnome_shell)
        return {WitnessKind::gnome_shell, ""};
    if (!offer.x_display)
        return {std::nullopt, offer.wayland_display && !asked ? std::string(no_wayland_witness) + "; and " + no_display
                                                              : no_display};
    return {WitnessKind::x, !asked && offer.wayland_display ? no_wayland_witness : ""};
}
